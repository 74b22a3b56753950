#pragma once
// The dataplane behind SIApp in unit tests: the emulator's SI tables and overlay MAC table (which
// decode every request strictly), the statuses the alarm reads, a log of the calls, and injected
// failures.
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/device/SiIoctls.h"
#include "services/si/ISIDataplane.h"
#include "tools/ozy-dpemu/SiDevices.h"
#include "tools/ozy-dpemu/SiTables.h"

namespace CfgAgent::test {

class FakeSiDataplane : public si::ISIDataplane {
  public:
    struct Call {
        uint32_t command;
        uint32_t count;
    };

    int SiIoctl(uint32_t command, uint32_t count, uint32_t entrySize,
                const std::vector<uint8_t>& entries) override {
        calls.push_back({command, count});
        if (failNext > 0) {
            --failNext;
            return EBUSY;
        }
        std::vector<uint8_t> req(12 + entries.size());
        for (int i = 0; i < 4; ++i) {
            req[size_t(i)] = uint8_t(command >> (24 - 8 * i));
            req[size_t(4 + i)] = uint8_t(count >> (24 - 8 * i));
            req[size_t(8 + i)] = uint8_t(entrySize >> (24 - 8 * i));
        }
        if (!entries.empty())
            std::memcpy(req.data() + 12, entries.data(), entries.size());
        return static_cast<int>(tables.Ioctl(req.data(), req.size()).status);
    }
    int SiStatus(uint32_t* status) override {
        if (statusError != 0)
            return statusError;
        *status = tables.Down() ? ozy::device::kSiStatusDown : ozy::device::kSiStatusUp;
        return 0;
    }
    int SpfStatus(uint32_t* status) override {
        *status = spfBad ? ozy::device::kSpfStatusBad : ozy::device::kSpfStatusOk;
        return 0;
    }
    int Ovl2(uint32_t command, uint32_t count, const std::vector<uint8_t>& entries) override {
        calls.push_back({command, count});
        std::vector<uint8_t> req(4 + entries.size());
        for (int i = 0; i < 4; ++i)
            req[size_t(i)] = uint8_t(count >> (24 - 8 * i));
        if (!entries.empty())
            std::memcpy(req.data() + 4, entries.data(), entries.size());
        return static_cast<int>(ovl2.Ioctl(command, req.data(), req.size()).status);
    }

    size_t CallsOf(uint32_t command) const {
        size_t n = 0;
        for (const Call& c : calls)
            n += c.command == command;
        return n;
    }

    ozy::dpemu::SiTables tables;
    ozy::dpemu::Ovl2Device ovl2;
    std::vector<Call> calls;
    int failNext = 0;
    int statusError = 0;
    bool spfBad = false;
};

}  // namespace CfgAgent::test
