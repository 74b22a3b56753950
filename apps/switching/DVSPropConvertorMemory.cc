// What the engine's per-object tables hold on the heap, for the memory section: nodes, keys, the
// records' strings and vectors and the packed property sets, in allocator chunks. Tables that hold
// a handful of entries per host (mirror sessions, host switches, labels, uplinks) are left out.
#include "apps/switching/DVSPropConvertor.h"
#include "statecache/MemoryEstimate.h"

namespace CfgAgent {

namespace {

using sc::ContainerBytes;
using sc::HeapChunk;
using sc::StringBytes;
using sc::StringMapBytes;
using sc::StringSetBytes;

size_t OptionalBytes(const std::optional<std::vector<uint8_t>>& v) {
    return v ? HeapChunk(v->capacity()) : 0;
}

size_t PropValuesBytes(const std::vector<dvs::PropValue>& values) {
    size_t n = ContainerBytes(values);
    for (const dvs::PropValue& v : values)
        n += HeapChunk(v.value.capacity());
    return n;
}

size_t LspBytes(const dvs::LspState& l) {
    size_t n = l.dvportId.HeapBytes() + l.vifId.HeapBytes();
    if (!l.extras)
        return n;
    const dvs::LspExtras& x = *l.extras;
    return n + HeapChunk(sizeof(dvs::LspExtras)) + x.parentVifId.HeapBytes() +
           OptionalBytes(x.macManagement) + OptionalBytes(x.ipDiscovery) +
           OptionalBytes(x.ignoreBindings) + OptionalBytes(x.addressBindings) +
           OptionalBytes(x.latency) + PropValuesBytes(x.security) + PropValuesBytes(x.qos) +
           StringMapBytes(x.extraConfigs) + StringSetBytes(x.mirrorTargets);
}

size_t PortBytes(const dvs::PortState& p) {
    size_t n = p.vifId.HeapBytes() + HeapChunk(p.installed.ByteSize());
    if (p.child) {
        n += HeapChunk(sizeof(dvs::PortChild)) + p.child->parentVifId.HeapBytes() +
             p.child->childLsp.HeapBytes();
    }
    return n;
}

size_t KeyBytes(const std::string& k) {
    return StringBytes(k);
}
size_t KeyBytes(const dvs::PackedId& k) {
    return k.HeapBytes();
}

// Nodes and keys of a map keyed by strings or packed ids, plus `value(v)` for every value.
template <typename M, typename F>
size_t KeyedBytes(const M& m, F&& value) {
    size_t n = ContainerBytes(m);
    for (const auto& [k, v] : m)
        n += KeyBytes(k) + value(v);
    return n;
}

}  // namespace

size_t DVSPropConvertor::TableBytes() const {
    size_t n = applied_.Bytes();
    n += KeyedBytes(switches_, [](const dvs::SwitchState& s) {
        return StringMapBytes(s.extraConfigs) +
               KeyedBytes(s.parents, [](uint16_t) { return size_t{0}; }) + ContainerBytes(s.trunk);
    });
    n += KeyedBytes(lsps_, LspBytes);
    n += lspByDvport_.Bytes() + lspByVif_.Bytes();
    n += KeyedBytes(lspsBySwitch_, [](const SwitchPorts&) { return size_t{0}; });
    n += KeyedBytes(ports_, PortBytes);
    n += portByVif_.Bytes();
    n += KeyedBytes(ipfix_, [](const std::vector<uint8_t>& v) { return HeapChunk(v.capacity()); });
    n += ContainerBytes(pendingReconcile_);
    for (const auto& [type, id] : pendingReconcile_)
        n += StringBytes(id);
    n += StringSetBytes(dirtyPorts_) + StringSetBytes(resyncPorts_);
    n += ContainerBytes(hopoverQueue_);
    return n;
}

}  // namespace CfgAgent
