#pragma once
// Builds the outgoing KCP Update messages for DVSPropConvertor, CIFConfig and IpDiscovery and
// sends them through ConfigApp. See KCPMsgConvertor.h.
#include <cstdint>
#include <string>
#include <vector>

#include "dataplane/DpFraming.h"
#include "dataplane/KcpBuilders.h"
#include "runtime/RefCounted.h"

namespace CfgAgent {

class IKCPMsgConvertor : public ozy::IRefCountable {
  public:
    ~IKCPMsgConvertor() override = default;

    // One Update with one element each. True when every message (all fragments) was handed to
    // ConfigApp; false when the content is invalid or a send failed (logged). Callers report
    // failures in their own words.
    virtual bool SendVifUpdate(uint8_t op, const std::vector<kcp::VifRecordSpec>& vifs) = 0;
    virtual bool SendPortPropertyUpdate(uint8_t op,
                                        const std::vector<kcp::PropertyRecordSpec>& ports) = 0;
    virtual bool SendPortList(const std::vector<std::string>& portIds) = 0;
    virtual bool SendKrnnicPropertyUpdate(uint8_t op,
                                          const std::vector<kcp::PropertyRecordSpec>& krnnics) = 0;
    virtual bool SendKrnnicList(const std::vector<std::string>& names) = 0;
    virtual bool SendSwxPropertyUpdate(const std::string& switchId, uint8_t op,
                                       const std::vector<std::vector<uint8_t>>& properties) = 0;
    virtual bool SendSwxList(const std::vector<std::string>& switchIds) = 0;
    virtual bool SendContainerUpdate(const std::vector<kcp::ContainerRecord>& containers) = 0;
    virtual bool SendContainerList(const std::vector<std::string>& cifIds) = 0;
    virtual bool SendPortContainerList(const std::string& parentVifId,
                                       const std::vector<std::string>& containerVifIds) = 0;
    virtual bool SendUplinkUpdate(uint8_t op, const std::vector<kcp::UplinkRecord>& uplinks) = 0;
    // An Update of several elements gathered by the caller, fragmented as needed.
    virtual bool SendUpdate(const kcp::KcpUpdateBuilder& update) = 0;

    // Logs, dumps (debug) and hands one framed message to ConfigApp.
    virtual bool Send(DpMsg msg) = 0;

    // The largest message the dataplane accepts (default 10240 bytes).
    virtual void SetMaxMsgLength(size_t length) = 0;
    virtual size_t MaxMsgLength() const = 0;
};

}  // namespace CfgAgent
