#include "dataplane/KCPMsgConvertor.h"

#include "dataplane/KcpDump.h"
#include "runtime/Logger.h"

namespace CfgAgent {

KCPMsgConvertor::KCPMsgConvertor(IConfigApp* configApp)
    : configApp_(configApp), maxMsgLength_(kcp::kDefaultMaxMsgLength) {}

KCPMsgConvertor::~KCPMsgConvertor() = default;

void KCPMsgConvertor::SetMaxMsgLength(size_t length) {
    maxMsgLength_.store(length);
}

size_t KCPMsgConvertor::MaxMsgLength() const {
    return maxMsgLength_.load();
}

bool KCPMsgConvertor::Send(DpMsg msg) {
    if (msg.size() < kDpMsgHeaderSize) {
        CFG_ERROR("KCPMsgConvertor: refusing to send a message of %1 bytes", msg.size());
        return false;
    }
    CFG_DEBUG("KCPMsgConvertor sends message to dataplane");
    if (Logger::enabled(kLogDebug)) {
        std::string text = kcp::DumpKcpMessage(msg.data(), msg.size());
        CFG_DEBUG("%1", text);
    }
    if (configApp_ == nullptr) {
        CFG_ERROR("KCPMsgConvertor: no ConfigApp to send through");
        return false;
    }
    return configApp_->SendKcpMessage(std::move(msg));
}

bool KCPMsgConvertor::SendUpdate(const kcp::KcpUpdateBuilder& update) {
    std::vector<DpMsg> msgs = update.Build();
    if (msgs.empty()) {
        return false;
    }
    if (msgs.size() > 1) {
        CFG_DEBUG("KCPMsgConvertor: Update of %1 bytes sent in %2 fragments",
                  update.UnfragmentedSize(), msgs.size());
    }
    bool ok = true;
    for (DpMsg& m : msgs) {
        if (!Send(std::move(m))) {
            // The rest would be joined to nothing on the other side.
            ok = false;
            break;
        }
    }
    return ok;
}

template <typename AddFn>
bool KCPMsgConvertor::BuildAndSend(AddFn add) {
    kcp::KcpUpdateBuilder update(maxMsgLength_.load());
    if (!add(update)) {
        return false;
    }
    return SendUpdate(update);
}

bool KCPMsgConvertor::SendVifUpdate(uint8_t op, const std::vector<kcp::VifRecordSpec>& vifs) {
    return BuildAndSend([&](kcp::KcpUpdateBuilder& u) { return u.AddVifUpdate(op, vifs); });
}

bool KCPMsgConvertor::SendPortPropertyUpdate(uint8_t op,
                                             const std::vector<kcp::PropertyRecordSpec>& ports) {
    return BuildAndSend([&](kcp::KcpUpdateBuilder& u) { return u.AddPortProperties(op, ports); });
}

bool KCPMsgConvertor::SendPortList(const std::vector<std::string>& portIds) {
    return BuildAndSend([&](kcp::KcpUpdateBuilder& u) { return u.AddPortList(portIds); });
}

bool KCPMsgConvertor::SendKrnnicPropertyUpdate(
    uint8_t op, const std::vector<kcp::PropertyRecordSpec>& krnnics) {
    return BuildAndSend(
        [&](kcp::KcpUpdateBuilder& u) { return u.AddKrnnicProperties(op, krnnics); });
}

bool KCPMsgConvertor::SendKrnnicList(const std::vector<std::string>& names) {
    return BuildAndSend([&](kcp::KcpUpdateBuilder& u) { return u.AddKrnnicList(names); });
}

bool KCPMsgConvertor::SendSwxPropertyUpdate(const std::string& switchId, uint8_t op,
                                            const std::vector<std::vector<uint8_t>>& properties) {
    return BuildAndSend(
        [&](kcp::KcpUpdateBuilder& u) { return u.AddSwxProperties(switchId, op, properties); });
}

bool KCPMsgConvertor::SendSwxList(const std::vector<std::string>& switchIds) {
    return BuildAndSend([&](kcp::KcpUpdateBuilder& u) { return u.AddSwxList(switchIds); });
}

bool KCPMsgConvertor::SendContainerUpdate(const std::vector<kcp::ContainerRecord>& containers) {
    return BuildAndSend([&](kcp::KcpUpdateBuilder& u) { return u.AddContainers(containers); });
}

bool KCPMsgConvertor::SendContainerList(const std::vector<std::string>& cifIds) {
    return BuildAndSend([&](kcp::KcpUpdateBuilder& u) { return u.AddContainerList(cifIds); });
}

bool KCPMsgConvertor::SendPortContainerList(const std::string& parentVifId,
                                            const std::vector<std::string>& containerVifIds) {
    return BuildAndSend([&](kcp::KcpUpdateBuilder& u) {
        return u.AddPortContainerList(parentVifId, containerVifIds);
    });
}

bool KCPMsgConvertor::SendUplinkUpdate(uint8_t op, const std::vector<kcp::UplinkRecord>& uplinks) {
    return BuildAndSend([&](kcp::KcpUpdateBuilder& u) { return u.AddUplinks(op, uplinks); });
}

}  // namespace CfgAgent
