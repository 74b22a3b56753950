#pragma once
// KCPMsgConvertor: builds outgoing KCP messages and sends them through ConfigApp.
//
// Owned by the switching applications (DVSPropConvertor, CIFConfig, IpDiscovery), which call it
// under the global agent lock from their own threads. It holds the IConfigApp it sends through
// by plain pointer: ConfigApp owns the convertor's users and outlives them. It never touches the
// link itself and keeps no state beyond the maximum message length.
#include <atomic>

#include "dataplane/IConfigApp.h"
#include "dataplane/IKCPMsgConvertor.h"

namespace CfgAgent {

class KCPMsgConvertor : public ozy::RefCounted<KCPMsgConvertor, IKCPMsgConvertor> {
  public:
    explicit KCPMsgConvertor(IConfigApp* configApp);
    ~KCPMsgConvertor() override;

    bool SendVifUpdate(uint8_t op, const std::vector<kcp::VifRecordSpec>& vifs) override;
    bool SendPortPropertyUpdate(uint8_t op,
                                const std::vector<kcp::PropertyRecordSpec>& ports) override;
    bool SendPortList(const std::vector<std::string>& portIds) override;
    bool SendKrnnicPropertyUpdate(uint8_t op,
                                  const std::vector<kcp::PropertyRecordSpec>& krnnics) override;
    bool SendKrnnicList(const std::vector<std::string>& names) override;
    bool SendSwxPropertyUpdate(const std::string& switchId, uint8_t op,
                               const std::vector<std::vector<uint8_t>>& properties) override;
    bool SendSwxList(const std::vector<std::string>& switchIds) override;
    bool SendContainerUpdate(const std::vector<kcp::ContainerRecord>& containers) override;
    bool SendContainerList(const std::vector<std::string>& cifIds) override;
    bool SendPortContainerList(const std::string& parentVifId,
                               const std::vector<std::string>& containerVifIds) override;
    bool SendUplinkUpdate(uint8_t op, const std::vector<kcp::UplinkRecord>& uplinks) override;
    bool SendUpdate(const kcp::KcpUpdateBuilder& update) override;
    bool Send(DpMsg msg) override;
    void SetMaxMsgLength(size_t length) override;
    size_t MaxMsgLength() const override;

  private:
    template <typename AddFn>
    bool BuildAndSend(AddFn add);

    IConfigApp* configApp_;
    std::atomic<size_t> maxMsgLength_;
};

}  // namespace CfgAgent
