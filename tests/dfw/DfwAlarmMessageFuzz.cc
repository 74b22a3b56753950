// Fuzz target of the filter link's alarm messages (migration failure, type 5; flood limit, type
// 6) as the alarm reporter receives them. The first byte chooses the type. Invariants: a parsed
// flood names a protocol of 1-15 printable characters and a known severity, every parsed text
// stays within its field, and the reporter (on a private alarm table) takes whatever comes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dfw/DfwAlarmReporter.h"
#include "dfw/DfwLog.h"
#include "platform/monitoring/AlarmTable.h"
#include "runtime/Logger.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using CfgAgent::DfwAlarmReporter;
    static ozy::monitoring::AlarmTable table;
    static DfwAlarmReporter* reporter = [] {
        CfgAgent::Logger::setConsole(false);
        CfgAgent::Logger::setSyslog(false);
        CfgAgent::g_dfwLogLevel = CfgAgent::kLogTrace;
        DfwAlarmReporter::Options o;
        o.table = &table;
        o.filters = [] {
            return std::vector<DfwAlarmReporter::FilterInfo>{
                {"f1", "vif-1", "d5000000-0000-4000-8000-000000000001"}};
        };
        o.hostName = [](std::string* h) {
            *h = "fuzz";
            return true;
        };
        auto* r = new DfwAlarmReporter(o);
        r->Start();
        return r;
    }();
    if (size < 1)
        return 0;
    const uint16_t type = (data[0] & 1) ? 6 : 5;
    const uint8_t* msg = data + 1;
    const size_t length = size - 1;
    std::string why;
    if (type == 6) {
        DfwAlarmReporter::FloodEvent e;
        if (DfwAlarmReporter::ParseFlood(msg, length, &e, &why)) {
            if (e.protocol.empty() || e.protocol.size() > 15 || e.filter.size() > 99 ||
                e.vif.size() > 64)
                __builtin_trap();
            for (char c : e.protocol) {
                if (c < 0x20 || c > 0x7e)
                    __builtin_trap();
            }
        } else if (why.empty()) {
            __builtin_trap();
        }
    } else {
        DfwAlarmReporter::HopoverEvent e;
        if (DfwAlarmReporter::ParseHopover(msg, length, &e, &why) &&
            (e.filter.size() > 99 || e.vif.size() > 64))
            __builtin_trap();
    }
    reporter->OnKernelMessage(type, msg, length);
    if (table.size() > 3)
        __builtin_trap();
    return 0;
}
