// Fuzz target: the shared TLV walker, over whole messages and nested ranges. Every element handed
// out must lie inside the walked range and the walk must always end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "dataplane/DpFraming.h"

using namespace CfgAgent;

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

void Walk(const uint8_t* base, size_t begin, size_t end, int depth) {
    DpTlvWalker w(base, begin, end);
    DpTlv t;
    size_t last = begin;
    size_t count = 0;
    while (w.Next(&t)) {
        Check(t.offset >= last && t.length >= kDpTlvHeaderSize);
        Check(t.offset + t.length <= end);
        Check(t.value == base + t.offset + kDpTlvHeaderSize && t.valueSize == t.length - 4u);
        last = t.offset + t.length;
        Check(++count <= (end - begin) / kDpTlvHeaderSize);
        if (depth < 3) {
            // Values often hold element lists of their own (properties inside records).
            Walk(t.value, 0, t.valueSize, depth + 1);
        }
    }
    Check(w.Offset() <= end || w.Malformed());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> buf(data, data + size);
    size_t len = DpMsgCheckedLength(buf.data(), buf.size());
    for (size_t first : {size_t{4}, size_t{5}, size_t{8}}) {
        DpTlvWalker w = DpTlvWalker::OverMessage(buf.data(), buf.size(), first);
        DpTlv t;
        while (w.Next(&t)) {
            Check(t.offset + t.length <= len);
        }
        if (len != 0 && first <= len)
            Walk(buf.data(), first, len, 0);
    }
    if (!buf.empty())
        Walk(buf.data(), 0, buf.size(), 1);
    return 0;
}
