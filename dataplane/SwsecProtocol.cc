#include "dataplane/SwsecProtocol.h"

#include <cstring>

namespace CfgAgent::swsec {

namespace {
bool IdFits(const std::string& id) {
    return id.size() < kVifIdSize && id.find('\0') == std::string::npos;
}
}  // namespace

DpMsg BuildBindingSolicitation(const std::string& vifId) {
    if (!IdFits(vifId))
        return DpMsg();
    DpMsgWriter w(kMsgBindingSolicitation, kSolicitationSize);
    w.FixedString(vifId, kVifIdSize);
    return w.Finish();
}

DpMsg BuildVmToolsBindings(const std::string& vifId, const std::vector<BindingEntry>& entries) {
    if (!IdFits(vifId) || entries.size() > kMaxBindingEntries)
        return DpMsg();
    DpMsgWriter w(kMsgVmToolsBindings, kBindingsHeadSize + kBindingEntrySize * entries.size());
    w.FixedString(vifId, kVifIdSize);
    w.Be16(static_cast<uint16_t>(entries.size()));
    for (const BindingEntry& e : entries) {
        w.U8(e.ipv4 ? 1 : 0);
        if (e.ipv4) {
            w.Bytes(e.address.data(), 4).Zeros(12);
        } else {
            w.Bytes(e.address.data(), 16);
        }
        w.Bytes(e.mac.data(), e.mac.size());
    }
    return w.Finish();
}

bool ParseBindingSolicitation(const uint8_t* msg, size_t size, std::string* vifId) {
    size_t length = DpMsgCheckedLength(msg, size);
    if (length < kSolicitationSize || DpMsgType(msg) != kMsgBindingSolicitation)
        return false;
    *vifId = DpFixedString(msg + kDpMsgHeaderSize, kVifIdSize);
    return true;
}

bool ParseVmToolsBindings(const uint8_t* msg, size_t size, std::string* vifId,
                          std::vector<BindingEntry>* entries) {
    size_t length = DpMsgCheckedLength(msg, size);
    if (length < kBindingsHeadSize || DpMsgType(msg) != kMsgVmToolsBindings)
        return false;
    size_t count = LoadBe16(msg + kDpMsgHeaderSize + kVifIdSize);
    if (kBindingsHeadSize + count * kBindingEntrySize > length)
        return false;
    *vifId = DpFixedString(msg + kDpMsgHeaderSize, kVifIdSize);
    entries->clear();
    const uint8_t* p = msg + kBindingsHeadSize;
    for (size_t i = 0; i < count; ++i, p += kBindingEntrySize) {
        BindingEntry e;
        e.ipv4 = p[0] != 0;
        std::memcpy(e.address.data(), p + 1, e.ipv4 ? 4 : 16);
        std::memcpy(e.mac.data(), p + 17, 6);
        entries->push_back(e);
    }
    return true;
}

}  // namespace CfgAgent::swsec
