// Fuzz target: the library's decoders of device records and link messages, over the input and
// every prefix of it. Invariant: decoded texts never exceed their fields; short buffers refused.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/tarp/TarpRecords.h"
#include "platform/tarp/TarpWire.h"

using namespace TarpFirewall;
namespace w = ozy::tarp;

namespace {
void Check(bool ok) {
    if (!ok)
        std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TarpFilterRecord rec;
    if (DecodeFilterRecord(data, size, &rec)) {
        Check(size >= w::kFilterRecordSize);
        Check(rec.name.size() <= w::kRecNameField && rec.agent.size() <= w::kRecAgentField &&
              rec.product.size() <= w::kRecProductField && rec.vif.size() <= w::kRecVifField);
    }
    TarpAddrSetStat st;
    if (DecodeAddrSetStat(data, size, &st))
        Check(size >= w::kAddrSetStatSize && st.name.size() <= w::kAddrSetNameField);
    FW_IpRepChunkStat chunk;
    if (DecodeIpRepChunkStat(data, size, &chunk))
        Check(size >= w::kIpRepChunkStatSize && chunk.capacity != 0 &&
              chunk.count <= chunk.capacity);
    TarpDvfEntry e;
    if (DecodeDvfEntry(data, size, &e))
        Check(size >= w::kDvfEntrySize);
    for (size_t n = 0; n <= size && n <= 400; ++n) {
        TarpLinkMessage m;
        if (DecodeLinkMessage(data, n, &m)) {
            Check(n == w::kNotifySize || n == w::kHopoverSize || n == w::kFloodMsgSize);
            Check(m.filter.size() <= w::kNotifyNameField && m.agent.size() <= w::kNotifyNameField &&
                  m.protocol.size() <= w::kFloodProtocolField);
        }
    }
    return 0;
}
