// Fuzz target: the emulator's VDR host side (the Update, ARP and Full Sync End readers, the dump
// and the tables) on arbitrary bytes, cut into messages by their length fields as the stream
// would be. Whatever arrives must be parsed without reading outside the input, kept out of the
// tables when it is malformed, and never crash.
#include <cstddef>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "dataplane/DpFraming.h"
#include "dataplane/VdrDump.h"
#include "runtime/Logger.h"
#include "tools/ozy-dpemu/VdrFamily.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CfgAgent::Logger::setLevel(CfgAgent::kLogOff);
    ozy::dpemu::VdrFamily family;
    family.OnConnect(1);
    size_t pos = 0;
    while (size - pos >= CfgAgent::kDpMsgHeaderSize) {
        size_t len = CfgAgent::DpMsgLength(data + pos);
        if (len < CfgAgent::kDpMsgHeaderSize || len > size - pos)
            break;
        family.OnMessage(1, data + pos, len);
        (void)CfgAgent::vdr::DumpVdrMessage(data + pos, len);
        pos += len;
    }
    (void)family.Dump().dump();
    return 0;
}
