// Fuzz target: any bytes as a JSON signature list. Accepted or refused, every stored signature
// is kept under the id its own text gives.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ids/IDSSignature.h"
#include "runtime/Logger.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CfgAgent::g_idsLogLevel = CfgAgent::kLogOff;
    CfgAgent::IDSSignature s;
    (void)s.ParseSignatureJSON(std::string_view(reinterpret_cast<const char*>(data), size));
    for (const auto& [sid, text] : s.signatures()) {
        uint64_t again = 0;
        if (!CfgAgent::IDSSignature::SidOf(text, &again) || again != sid) {
            std::abort();
        }
    }
    if (s.commentedOut() > s.signatures().size() + size) {
        std::abort();
    }
    return 0;
}
