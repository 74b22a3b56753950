#pragma once
// Builders of outgoing KCP messages (KcpProtocol.h), used by KCPMsgConvertor in the agent and by
// the dataplane emulator for the messages the dataplane sends.
//
// Every builder computes the exact size and allocates it once. Identifier texts must leave room
// for their NUL (at most width - 1 bytes); a longer one fails the build with a log line rather than
// being cut. Update content is gathered in a KcpUpdateBuilder and turned into one Update, or into
// fragments when it is larger than the maximum message length (see KcpProtocol.h for the rule).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dataplane/DpFraming.h"
#include "dataplane/KcpProtocol.h"
#include "dataplane/KcpWalk.h"

namespace CfgAgent::kcp {

// --- session and small messages ---

// The 15-byte VIF Session control message; a Session Open carries 0x28 in byte 13.
DpMsg BuildSessionControl(uint8_t controlType, uint32_t sessionId);
// The process-wide session ID shared by every KCP sender: NewSessionId() increments it (only a
// Session Open is built with a new one) and returns the new value.
uint32_t NewSessionId();
uint32_t CurrentSessionId();

DpMsg BuildInit(uint16_t maxMsgLength);
DpMsg BuildDpStatusQuery();
DpMsg BuildDpStatusNotification(uint8_t status);
DpMsg BuildPortOutOfSyncNotification(const std::string& vifId);
DpMsg BuildKrnnicOutOfSyncNotification(const std::string& krnnicName);
DpMsg BuildHopoverSyncNotification(const std::string& vifId, uint16_t syncType);

// --- Update content ---

struct VifRecordSpec {
    std::string vifId;
    std::string portId;
    std::string switchId;
    std::string parentVifId;
    uint8_t vifType = kVifVnic;
    bool smartNic = false;
    bool hopover = false;
    std::optional<uint8_t> status;
    std::vector<MacAddr> macs;
    std::vector<Binding> bindings;
};

// A port (48-byte ID) or kernel-interface (16-byte name) record with its property elements
// (MakeKcpProperty).
struct PropertyRecordSpec {
    std::string id;
    std::vector<std::vector<uint8_t>> properties;
};

class KcpUpdateBuilder {
  public:
    explicit KcpUpdateBuilder(size_t maxMsgLength = kDefaultMaxMsgLength);

    // Each Add* appends one element to the Update; false (and a log line) when an identifier does
    // not fit or a property element is malformed, which also fails Build().
    bool AddVifUpdate(uint8_t op, const std::vector<VifRecordSpec>& records);
    bool AddPortProperties(uint8_t op, const std::vector<PropertyRecordSpec>& ports);
    // The same, taking the records' properties instead of copying them (a full push of every
    // port would otherwise hold them twice until it is built); `ports` is left empty.
    bool AddPortProperties(uint8_t op, std::vector<PropertyRecordSpec>&& ports);
    bool AddPortList(const std::vector<std::string>& portIds);
    bool AddKrnnicProperties(uint8_t op, const std::vector<PropertyRecordSpec>& krnnics);
    bool AddKrnnicList(const std::vector<std::string>& names);
    bool AddSwxProperties(const std::string& switchId, uint8_t op,
                          const std::vector<std::vector<uint8_t>>& properties);
    bool AddSwxList(const std::vector<std::string>& switchIds);
    bool AddContainers(const std::vector<ContainerRecord>& containers);
    bool AddContainerList(const std::vector<std::string>& cifIds);
    bool AddPortContainerList(const std::string& parentVifId,
                              const std::vector<std::string>& containerVifIds);
    bool AddUplinks(uint8_t op, const std::vector<UplinkRecord>& uplinks);

    // The Update, or its fragments in order; empty when the content is invalid, empty, or has a
    // single property too large for any message (each logged).
    std::vector<DpMsg> Build() const;

    bool Ok() const { return ok_; }
    bool Empty() const { return elements_.empty(); }
    size_t MaxMsgLength() const { return max_; }
    // Size of the Update if it were sent unfragmented (header and flag byte included).
    size_t UnfragmentedSize() const;

  private:
    struct Record {
        std::vector<uint8_t> head;
        int lengthOffset = -1;  // where the 16-bit record length (head plus properties) goes
        std::vector<std::vector<uint8_t>> properties;
        size_t Size() const;
    };
    struct Element {
        uint16_t type = 0;
        std::vector<uint8_t> prefix;
        std::vector<Record> records;
    };
    class Packer;

    bool Fail();
    bool AddIdList(uint16_t type, const std::vector<std::string>& ids, size_t width,
                   const char* what);

    size_t max_;
    bool ok_ = true;
    std::vector<Element> elements_;
};

// Whether `id` fits a field of `width` bytes with its NUL; logs an error naming `what` if not.
bool CheckIdField(const std::string& id, size_t width, const char* what);

}  // namespace CfgAgent::kcp
