#include "platform/tarp/TarpConfigRender.h"

#include "platform/tarp/CTarpFWCmdList.h"
#include "platform/tarp/TarpEncoding.h"
#include "platform/tarp/TarpWire.h"

namespace TarpFirewall::detail {

namespace w = ozy::tarp;

namespace {

size_t SizeOf(const CTarpFWCmdList::Command& c) {
    size_t n = w::kCommandHeaderSize + 2 + c.name.size();
    if (c.addrSet)
        n += 9 + w::kAddressSize * (c.addrSet->addresses().size() + c.addrSet->excluded().size());
    if (c.container) {
        n += 5;
        for (const auto& e : c.container->elements())
            n += 1 + w::kAddressSize + 4 + e.text().size();
    }
    n += 4 + 8 * c.segments.size();
    for (const auto& r : c.roots)
        n += 3 + r.size();
    if (c.chunk)
        n += 16 + w::kIpRepEntrySize * c.chunk->entries.size();
    return n + 4;
}

void Addresses(WireWriter& wr, const std::vector<CTarpFWAddress>& list) {
    wr.U32(static_cast<uint32_t>(list.size()));
    for (const auto& a : list)
        wr.Address(a);
}

}  // namespace

void RenderConfig(const CTarpFWCmdList& list, const std::string& filter,
                  std::vector<uint8_t>& out) {
    out.clear();
    size_t estimate = w::kConfigHeaderSize;
    for (const auto& c : list.commands())
        estimate += SizeOf(c);
    out.reserve(estimate);
    WireWriter wr(out);
    wr.U32(w::kConfigMagic).U32(1).Fixed(filter, w::kFilterNameField);
    wr.U32(static_cast<uint32_t>(list.commands().size()));
    for (const auto& c : list.commands()) {
        wr.U16(static_cast<uint16_t>(c.op)).U16(0);
        size_t body = wr.Begin32();
        using Op = CTarpFWCmdList::Op;
        switch (c.op) {
            case Op::kCreateAddrSet:
                wr.Str(c.name).U8(c.addrSet->ipReputation() ? w::kAddrSetIpReputation : 0);
                Addresses(wr, c.addrSet->addresses());
                Addresses(wr, c.addrSet->excluded());
                break;
            case Op::kCreateContainer:
                wr.Str(c.name).U8(static_cast<uint8_t>(c.container->type()));
                wr.U32(static_cast<uint32_t>(c.container->elements().size()));
                for (const auto& e : c.container->elements()) {
                    wr.U8(static_cast<uint8_t>(e.kind()));
                    switch (e.kind()) {
                        case CTarpFWElement::Kind::kAddress:
                            wr.Address(e.address());
                            break;
                        case CTarpFWElement::Kind::kAttribute:
                            wr.U16(e.key()).Str(e.text());
                            break;
                        default:
                            wr.Str(e.text());
                            break;
                    }
                }
                break;
            case Op::kDestroyRuleSet:
            case Op::kDestroyAddrSet:
                wr.Str(c.name);
                break;
            case Op::kCreateRuleSet:
                wr.Str(c.name).U32(static_cast<uint32_t>(c.segments.size()));
                for (const auto& s : c.segments)
                    wr.U64(s->hash());
                break;
            case Op::kSetRootRuleSets:
                wr.U8(static_cast<uint8_t>(c.roots.size()));
                for (const auto& r : c.roots)
                    wr.Str(r);
                break;
            case Op::kCreateIpRepChunk:
                wr.U32(c.chunk->id).U32(c.chunk->capacity).U32(c.chunk->bucket);
                wr.U32(static_cast<uint32_t>(c.chunk->entries.size()));
                for (const auto& e : c.chunk->entries)
                    wr.U32(e.address).U32(e.mask).U16(e.threat).U16(e.reputation).U32(e.bucket);
                break;
            case Op::kDestroyIpRepChunk:
                wr.U32(c.chunkId);
                break;
        }
        wr.End32(body);
    }
}

}  // namespace TarpFirewall::detail
