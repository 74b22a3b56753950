#pragma once
// CfgAgent::Demux: on a SmartNIC host, splits the host's configuration per SmartNIC vdb.
//
// Every decoded configuration update of the host's database comes here (from the SmartNIC
// coordinator). Topological objects (switches, ports, routers and what hangs under them) are kept
// as nodes of a tree rooted at the host switches; a node is demuxed to the union of its parents'
// vdbs, a host switch to the vdbs bound to it, a transport node to the union of its host
// switches' vdbs. Global objects (firewall, IDS, load balancer, service insertion, barriers...) go
// to every bound vdb. Each change becomes puts and deletes for exactly the vdbs that gain, keep or
// lose the object; they are collected during the database transaction and written as one list at
// its barrier, after merging repeated requests (the last one per vdb, type and id wins).
//
// Full syncs: the version grows each time the database channel comes up; nodes and globals are
// stamped with it when set. The first full-sync barrier flushes every bound vdb first (stale rows
// from an earlier run go); later ones delete what the full sync did not resend.
//
// Bodies are kept once, as shared immutable buffers, however many vdbs hold the object.
//
// Threads: one mutex guards everything; the coordinator calls from the database library's thread,
// the CLI reads the dumps from its own. Log prefix "Demux:".
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "intake/CfgTypes.h"
#include "intake/Decoder.h"
#include "intake/DemuxNodeKinds.h"
#include "runtime/RefCounted.h"

namespace orvane::ozy::cairndb {
class MonitorUpdateMsg;
class ModifyRequestMsg;
}  // namespace orvane::ozy::cairndb

namespace CfgAgent {

class ICairndbClient;

class Demux : public ozy::RefCounted<Demux, ozy::IRefCountable> {
  public:
    using NodeType = demux::NodeType;
    using Buffer = std::shared_ptr<const std::string>;
    // A BARRIER object forwarded to the vdbs: its body and the vdbs it went to.
    using BarrierHook =
        std::function<void(const std::string& body, const std::set<uint16_t>& vdbs)>;

    // An object as the Demux holds it, for the CLI and tests.
    struct ObjectView {
        ObjectType type = ObjectType::OBJECT_TYPE_INVALID;
        std::string id;                  // serialized UuidMsg
        NodeType node = NodeType::NONE;  // NONE for a global object
        std::vector<uint16_t> vdbs;
        uint32_t version = 0;
        Buffer body;
    };
    struct Info {
        uint32_t version = 0;
        bool channelUp = false;
        bool fullSyncDone = false;
        size_t nodes = 0;
        size_t globals = 0;
        size_t pending = 0;
        std::array<size_t, demux::kNodeTypeCount> nodesPerType{};
        // vdb -> host switches bound to it (serialized ids).
        std::map<uint16_t, std::set<std::string>> bindings;
        // vdb -> objects demuxed to it (globals included).
        std::map<uint16_t, size_t> objectsPerVdb;
    };

    Demux();
    ~Demux() override;
    Demux(const Demux&) = delete;
    Demux& operator=(const Demux&) = delete;

    // One decoded update, by the route of the decoder's routing table (KIND or KIND_FIRST: the
    // kind-specific function; GENERIC: the global one).
    void Update(const orvane::ozy::cairndb::MonitorUpdateMsg& update, DemuxRoute route);
    // A global object: SET stores it and puts it to every bound vdb, CLEAR deletes it there.
    void UpdateGlobal(ObjectType type, PBOpType op, const std::string& id,
                      const orvane::ozy::cairndb::MonitorUpdateMsg& update);

    // Host switch binding (serialized host switch id).
    void BindVdb(uint16_t vdb, const std::string& hostSwitch);
    void UnbindVdb(uint16_t vdb, const std::string& hostSwitch);

    // Closes the database transaction: the full-sync sweep or first flush, then the merged list
    // of requests to `writer` (nothing written when empty).
    void Barrier(bool fullSync, ICairndbClient* writer);
    void ChannelStatus(bool up);
    void SetBarrierHook(BarrierHook hook);

    // ---- inspection ----
    Info GetInfo() const;
    // The vdbs a node or global object is demuxed to (empty when unknown).
    std::vector<uint16_t> VdbsOf(ObjectType type, const std::string& id) const;
    // Objects demuxed to `vdb`: the one with `id` (any type); every object of `type` that is
    // demuxed to `vdb` (0: to any vdb).
    std::vector<ObjectView> ObjectsById(uint16_t vdb, const std::string& id) const;
    std::vector<ObjectView> ObjectsByType(ObjectType type, uint16_t vdb = 0) const;
    // The requests collected since the last barrier, merged as the barrier would write them.
    std::vector<orvane::ozy::cairndb::ModifyRequestMsg> PendingRequests() const;

  private:
    struct Node {
        NodeType type = NodeType::NONE;
        std::string id;
        std::vector<demux::Link> parents;
        std::vector<demux::Link> offers;
        std::vector<uint16_t> vdbs;  // sorted
        Buffer body;                 // null for a host switch
        Buffer span;                 // serialized SpanContextMsg of the last update, or null
        uint32_t version = 0;
        std::vector<std::string> hostSwitches;  // transport node: its host switches
    };
    struct Global {
        Buffer body;
        Buffer span;
        uint32_t version = 0;
    };
    struct Request {
        enum Kind : uint8_t { kPut, kDelete, kFlush };
        Kind kind = kPut;
        uint16_t vdb = 0;
        ObjectType type = ObjectType::OBJECT_TYPE_INVALID;
        std::string id;
        Buffer body;
        Buffer span;
    };
    using NodeKey = std::string;  // node type byte + id

    static NodeKey KeyOf(NodeType type, const std::string& id);
    Node* Find(NodeType type, const std::string& id);
    const Node* Find(NodeType type, const std::string& id) const;

    void Topological(NodeType type, const orvane::ozy::cairndb::MonitorUpdateMsg& update);
    void SetNode(NodeType type, demux::NodeLinks links, Buffer body, Buffer span);
    void SyncHostSwitches(Node& transportNode, const std::vector<demux::HostSwitchLinks>& now);
    void RemoveNode(NodeType type, const std::string& id);
    // Replaces the links of `node` in the indexes; the children under old and new offers are
    // queued when the offers change.
    void Relink(Node& node, std::vector<demux::Link> parents, std::vector<demux::Link> offers);
    void Unlink(const Node& node);
    void QueueChildren(const Node& node);
    void Queue(const Node& node);
    // Recomputes the queued nodes in rank order, emitting what each gains or loses.
    void Run();
    std::vector<uint16_t> ComputeVdbs(const Node& node) const;

    void EmitPut(const Node& node, const std::vector<uint16_t>& vdbs);
    void EmitDelete(ObjectType type, const std::string& id, const std::vector<uint16_t>& vdbs);
    void EmitFlushes(uint16_t vdb, bool front);
    std::vector<uint16_t> BoundVdbs() const;
    void Sweep();
    std::vector<Request> Merged(bool log) const;
    static orvane::ozy::cairndb::ModifyRequestMsg Build(const Request& r);

    mutable std::mutex mutex_;
    std::unordered_map<NodeKey, Node> nodes_;
    // (child type, parent type, key) -> ids of the children naming it.
    std::unordered_map<std::string, std::set<std::string>> referrers_;
    // (parent type, child type, key) -> ids of the parents offering it.
    std::unordered_map<std::string, std::set<std::string>> offerers_;
    std::map<std::pair<ObjectType, std::string>, Global> globals_;
    std::map<std::string, std::set<uint16_t>> bindings_;     // host switch -> vdbs
    std::map<uint16_t, std::set<std::string>> vdbSwitches_;  // vdb -> host switches
    std::vector<Request> pending_;
    size_t flushFront_ = 0;  // flushes placed at the front of pending_
    // Recomputation state of one change.
    std::set<std::pair<int, NodeKey>> work_;
    std::set<NodeKey> dirty_;
    uint16_t suppressed_ = 0;  // a vdb being flushed: no deletes for it
    uint32_t version_ = 0;
    bool channelUp_ = false;
    bool fullSyncDone_ = false;
    BarrierHook barrierHook_;
};

}  // namespace CfgAgent
