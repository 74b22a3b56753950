// Fuzz target of the filter repository's untrusted input: the first byte chooses a read reply of
// kernel filter records (header and records, parsed and merged into both agents' maps), a
// message of the filter link (odd), or the output of the VM-list script (2). Invariants: every
// parsed field within its width, every map entry keyed by its vif, no made-up name equal to a real
// vif of the same query.
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "dfw/DfwFilterRepo.h"
#include "dfw/DfwLog.h"
#include "dfw/DfwSpanConfig.h"
#include "runtime/Logger.h"
#include "tests/fuzz/QuietLogs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using CfgAgent::DfwFilterRepo;
    CfgAgent::test::QuietLogs(CfgAgent::kLogInfo);
    CfgAgent::g_dfwLogLevel = CfgAgent::kLogTrace;
    if (size < 1)
        return 0;
    if (data[0] == 2) {
        using CfgAgent::DfwSpanConfig;
        auto vms = DfwSpanConfig::ParseVmList(
            std::string(reinterpret_cast<const char*>(data + 1), size - 1));
        if (vms.size() > DfwSpanConfig::kMaxVms)
            __builtin_trap();
        for (const auto& vm : vms) {
            if (vm.worldId == 0 || vm.uuid.size() != 36 ||
                vm.uuid.find_first_not_of("0123456789abcdef-") != std::string::npos)
                __builtin_trap();
        }
        return 0;
    }
    if (data[0] & 1) {
        static ozy::RefPtr<DfwFilterRepo> repo =
            ozy::MakeRef<DfwFilterRepo>(DfwFilterRepo::Options{});
        repo->OnLinkMessage(data + 1, size - 1);
        return 0;
    }
    std::vector<DfwFilterRepo::Record> records = DfwFilterRepo::ParseRecords(data + 1, size - 1);
    std::set<std::string> real;
    for (const auto& r : records) {
        if (r.name.size() > 64 || r.vif.size() > 64 || r.lsp.size() > 40 || r.agent.size() > 100 ||
            r.product.size() > 123)
            __builtin_trap();
        if (!r.vif.empty())
            real.insert(r.vif);
    }
    std::map<std::string, std::string> fake;
    uint64_t counter = 0;
    for (const char* agent : {"orvane-sfw", "orvane-si"}) {
        DfwFilterRepo::FilterMap map;
        DfwFilterRepo::UpdateFilterMap(agent, records, {}, map, fake, counter);
        for (const auto& [vif, f] : map) {
            if (f.vif != vif || f.agent != agent)
                __builtin_trap();
        }
    }
    for (const auto& [name, made] : fake) {
        if (real.count(made) != 0)
            __builtin_trap();
    }
    return 0;
}
