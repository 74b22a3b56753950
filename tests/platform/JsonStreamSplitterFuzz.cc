// Fuzz target: feeds arbitrary bytes in two pieces; every object produced must be a prefix slice of
// the input and the splitter must never read out of bounds or throw.
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/rpc/JsonStreamSplitter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view all(reinterpret_cast<const char*>(data), size);
    size_t cut = size / 2;
    ozy::rpc::JsonStreamSplitter splitter(4096);
    std::vector<std::string> out;
    if (splitter.Feed(all.substr(0, cut), out)) {
        splitter.Feed(all.substr(cut), out);
    }
    size_t total = splitter.Pending();
    for (const auto& m : out) {
        if (m.empty() || m.front() != '{')
            __builtin_trap();
        total += m.size();
    }
    if (total > size)
        __builtin_trap();
    return 0;
}
