#pragma once
// IL2App: what the BFD sessions need of the L2 overlay application. Every operation takes the
// global agent lock; listeners and callbacks are called with it held (the lock is recursive, so
// they may send from there).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace CfgAgent {

class IL2App {
  public:
    virtual ~IL2App() = default;

    // An Update carrying `count` TLVs of `dataType` (the BFD sessions, data type 11) whose values,
    // `valueSize` bytes each, lie end to end in `values`, or a Configure carrying one item (8 BFD,
    // 9 EVPN global BFD), put on the VXLAN link as one message. False, with nothing sent, before
    // the session's Open ACK, after Stop(), while the link is down, or when the message would
    // exceed the negotiated maximum length.
    virtual bool SendSessionTlvs(uint16_t dataType, const uint8_t* values, size_t valueSize,
                                 size_t count) = 0;
    bool SendSessionTlv(uint16_t dataType, const std::vector<uint8_t>& value) {
        return SendSessionTlvs(dataType, value.data(), value.size(), 1);
    }
    virtual bool SendConfigureItem(uint16_t item, const std::vector<uint8_t>& value) = 0;
    // How many TLVs with values of `valueSize` bytes one Update holds under the negotiated maximum.
    virtual size_t SessionTlvsPerUpdate(size_t valueSize) const = 0;

    // The switch ID of a VNI the dataplane joined; false when it is not joined.
    virtual bool SwitchIdOfVni(uint32_t vni, uint32_t* switchId) const = 0;
    // The VNI of a logical switch (serialized id) as the desired configuration gives it (LS_VNI).
    virtual bool VniOfLogicalSwitch(const std::string& lsId, uint32_t* vni) const = 0;

    // Told of every VNI the dataplane joins or leaves; a new session leaves every joined VNI.
    using VniJoinListener = std::function<void(uint32_t vni, uint32_t switchId, bool joined)>;
    virtual void AddVniJoinListener(VniJoinListener listener) = 0;
    // Runs after every Full Sync End has been applied.
    virtual void RegisterFullSyncCallback(std::function<void()> callback) = 0;
};

}  // namespace CfgAgent
