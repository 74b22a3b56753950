#include "platform/tarp/TarpRecords.h"

#include <cstring>

#include "platform/tarp/TarpWire.h"

namespace TarpFirewall {

namespace w = ozy::tarp;

namespace {

std::string Text(const uint8_t* p, size_t width) {
    const char* c = reinterpret_cast<const char*>(p);
    return std::string(c, strnlen(c, width));
}

uint64_t Be(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | p[i];
    return v;
}

}  // namespace

bool TarpFilterRecord::imported() const {
    return (flags & w::kFilterImported) != 0;
}

bool DecodeFilterRecord(const uint8_t* p, size_t size, TarpFilterRecord* r) {
    if (p == nullptr || size < w::kFilterRecordSize)
        return false;
    r->name = Text(p + w::kRecNameOffset, w::kRecNameField);
    r->vif = Text(p + w::kRecVifOffset, w::kRecVifField);
    r->lsp = Text(p + w::kRecLspOffset, w::kRecLspField);
    r->flags = static_cast<uint32_t>(Be(p + w::kRecFlagsOffset, 4));
    r->importTime = Be(p + w::kRecImportTimeOffset, 8);
    std::memcpy(r->mac.data(), p + w::kRecMacOffset, 6);
    r->port = static_cast<uint32_t>(Be(p + w::kRecPortOffset, 4));
    r->ruleCount = static_cast<uint32_t>(Be(p + w::kRecRuleCountOffset, 4));
    r->applyCount = static_cast<uint32_t>(Be(p + w::kRecApplyCountOffset, 4));
    r->lastStatus = static_cast<uint32_t>(Be(p + w::kRecLastStatusOffset, 4));
    r->agent = Text(p + w::kRecAgentOffset, w::kRecAgentField);
    r->vm = Text(p + w::kRecVmOffset, w::kRecVmField);
    r->product = Text(p + w::kRecProductOffset, w::kRecProductField);
    return true;
}

bool DecodeAddrSetStat(const uint8_t* p, size_t size, TarpAddrSetStat* s) {
    if (p == nullptr || size < w::kAddrSetStatSize || Be(p + w::kStatVersionOffset, 2) != 1)
        return false;
    s->name = Text(p, w::kAddrSetNameField);
    s->anchorRefCount = static_cast<uint32_t>(Be(p + w::kStatAnchorOffset, 4));
    s->addressCount = static_cast<uint32_t>(Be(p + w::kStatAddressCountOffset, 4));
    s->excludedCount = static_cast<uint32_t>(Be(p + w::kStatExcludedOffset, 4));
    s->flags = static_cast<uint32_t>(Be(p + w::kStatFlagsOffset, 4));
    s->generation = Be(p + w::kStatGenerationOffset, 8);
    return true;
}

bool DecodeIpRepChunkStat(const uint8_t* p, size_t size, FW_IpRepChunkStat* s) {
    if (p == nullptr || size < w::kIpRepChunkStatSize)
        return false;
    s->id = static_cast<uint32_t>(Be(p, 4));
    s->capacity = static_cast<uint32_t>(Be(p + 4, 4));
    s->count = static_cast<uint32_t>(Be(p + 8, 4));
    s->bucket = static_cast<uint32_t>(Be(p + 12, 4));
    s->hash = Be(p + 16, 8);
    return s->capacity != 0 && s->count <= s->capacity;
}

bool DecodeDvfEntry(const uint8_t* p, size_t size, TarpDvfEntry* e) {
    if (p == nullptr || size < w::kDvfEntrySize || p[1] != w::kDvfEntrySize ||
        (p[0] != w::kDvfEntryVnic && p[0] != w::kDvfEntryDefault))
        return false;
    e->type = p[0];
    std::memcpy(e->vnic.data(), p + 2, 16);
    e->flags = static_cast<uint32_t>(Be(p + 18, 4));
    return true;
}

bool DecodeLinkMessage(const uint8_t* p, size_t size, TarpLinkMessage* m) {
    if (p == nullptr || size < 4 || Be(p + 2, 2) != size)
        return false;
    m->type = static_cast<uint16_t>(Be(p, 2));
    switch (m->type) {
        case w::kMsgFilterNotify:
            if (size != w::kNotifySize)
                return false;
            m->filter = Text(p + w::kNotifyFilterOffset, w::kNotifyNameField);
            m->agent = Text(p + w::kNotifyAgentOffset, w::kNotifyNameField);
            m->vif = Text(p + w::kNotifyVifOffset, w::kRecVifField);
            m->lsp = Text(p + w::kNotifyLspOffset, w::kRecLspField);
            m->flags = static_cast<uint32_t>(Be(p + w::kNotifyFlagsOffset, 4));
            m->importTime = Be(p + w::kNotifyImportTimeOffset, 8);
            return true;
        case w::kMsgHopoverFailure:
            if (size != w::kHopoverSize)
                return false;
            m->filter = Text(p + w::kHopoverFilterOffset, w::kNotifyNameField);
            m->vif = Text(p + w::kHopoverVifOffset, w::kRecVifField);
            m->flags = static_cast<uint32_t>(Be(p + w::kHopoverReasonOffset, 4));
            return true;
        case w::kMsgFloodLimit: {
            if (size != w::kFloodMsgSize)
                return false;
            uint8_t sev = p[w::kFloodSeverityOffset];
            uint8_t flags = p[w::kFloodFlagsOffset];
            if ((sev != w::kFloodWarning && sev != w::kFloodCritical) ||
                (flags & ~w::kFloodRaise) != 0)
                return false;
            m->filter = Text(p + w::kFloodFilterOffset, w::kNotifyNameField);
            m->vif = Text(p + w::kFloodVifOffset, w::kRecVifField);
            m->protocol = Text(p + w::kFloodProtocolOffset, w::kFloodProtocolField);
            m->severity = sev;
            m->raise = (flags & w::kFloodRaise) != 0;
            return true;
        }
        default:
            return false;
    }
}

}  // namespace TarpFirewall
