#pragma once
// The firewall's intake component.
//
// Owns the latest copy of every firewall object read from the database (sections, rules,
// load-balancer sections and rules, containers and context profiles, IP-reputation chunks, LSP
// group relations, config spans), the category buckets and categories, the filter exclusion
// lists, the firewall-wide modes, and the barrier and generation numbers. The dispatcher thread
// calls UpdateDesiredState with each batch of firewall objects: the cache parses and checks every
// object outside its lock, merges the batch under it, and then calls the notification (DfwMain's
// wake-up) outside it. Readers call TakeSnapshot on their own thread: an immutable view of
// everything plus the change set since their previous snapshot, so that a rebuild never holds the
// cache's lock and can be incremental.
//
// Bad objects (bodies that do not parse, unsafe values, lists over the caps of DfwMsgParser) are
// logged with their error code and dropped alone; nothing here throws or talks to the dataplane.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "dfw/DfwMsgSnapshot.h"
#include "intake/Component.h"

namespace CfgAgent {

class DfwMsgCache : public ozy::RefCounted<DfwMsgCache, Component> {
  public:
    DfwMsgCache();
    ~DfwMsgCache() override;
    DfwMsgCache(const DfwMsgCache&) = delete;
    DfwMsgCache& operator=(const DfwMsgCache&) = delete;

    void UpdateDesiredState(const std::vector<CairnDBUpdateMsg>& updates, bool fullSync) override;

    // Called after every merged batch, on the dispatcher thread, without the cache's lock.
    void SetNotify(std::function<void()> notify);

    // Everything held now, and what changed since the previous TakeSnapshot (the first one, and
    // any after a full sync, says fullSync).
    DfwMsgSnapshot TakeSnapshot();
    // The same view without consuming the change set (CLI, tests).
    DfwMsgSnapshot Peek() const;
    // True once a full sync has been merged (it stays true: a later full sync replaces content).
    bool Synced() const;

    // The first bucket, in list order, whose range holds `categoryId` (both ends included).
    static std::optional<size_t> FindBucket(const std::vector<DfwBucket>& buckets,
                                            uint32_t categoryId);

    struct ToggleValues;

  private:
    struct State;
    struct Batch;

    void Parse(const CairnDBUpdateMsg& u, Batch& b) const;
    void ParseRule(const CairnDBUpdateMsg& u, Batch& b) const;
    void ParseSection(const CairnDBUpdateMsg& u, Batch& b) const;
    void ParseContainer(const CairnDBUpdateMsg& u, Batch& b) const;
    void ParseContextProfile(const CairnDBUpdateMsg& u, Batch& b) const;
    void ParseSpan(const CairnDBUpdateMsg& u, Batch& b) const;
    void ParseChunk(const CairnDBUpdateMsg& u, Batch& b) const;
    void ParseGroupRelation(const CairnDBUpdateMsg& u, Batch& b) const;
    void ParseSwitches(const CairnDBUpdateMsg& u, Batch& b) const;

    // Under mutex_.
    DfwMsgSnapshot View() const;
    void Merge(Batch& b, bool fullSync);
    // True when the held spans changed the buckets, categories or exclusion lists.
    bool MergeSpans(Batch& b, bool fullSync);
    void MergeModes(const Batch& b, bool fullSync);
    bool RebuildSpanViews(bool fullSync);

    mutable std::mutex mutex_;
    std::unique_ptr<State> state_;
    std::function<void()> notify_;
};

}  // namespace CfgAgent
