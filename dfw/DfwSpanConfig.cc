#include "dfw/DfwSpanConfig.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <utility>

#include "dfw/DfwLog.h"
#include "platform/host/HostCommand.h"
#include "platform/tarp/TarpFw.h"
#include "platform/tarp/TarpRecords.h"
#include "platform/tarp/TarpWire.h"
#include "proto/UuidText.h"

namespace CfgAgent {

namespace w = ozy::tarp;

namespace {

void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

uint32_t Be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// One table entry at `e`.
void PutEntry(uint8_t* e, uint8_t type, const uint8_t* vnic) {
    e[0] = type;
    e[1] = static_cast<uint8_t>(w::kDvfEntrySize);
    if (vnic != nullptr)
        std::memcpy(e + 2, vnic, 16);
}

int Ioctl(uint32_t command, std::vector<uint8_t>& buf) {
    FW_IoctlReq req;
    req.buf = buf.data();
    req.size = static_cast<uint32_t>(buf.size());
    req.used = req.size;
    int rc = DVF_Ioctl(command, &req);
    if (rc == 0)
        buf.resize(std::min<size_t>(req.used, buf.size()));
    return rc;
}

}  // namespace

DfwSpanConfig::DfwSpanConfig(std::string agent) : agent_(std::move(agent)) {}

const char* DfwSpanConfig::kind() const {
    return agent_ == w::kAgentServiceInsertion ? "si" : "dfw";
}

bool DfwSpanConfig::ParseUuid(const std::string& text, std::array<uint8_t, 16>* out) {
    uint64_t halves[2];
    if (!ozy::cairndb::ParseUuidText(text, &halves[0], &halves[1]))
        return false;
    for (size_t i = 0; i < 16; ++i)
        (*out)[i] = uint8_t(halves[i / 8] >> (56 - 8 * (i % 8)));
    return true;
}

std::string DfwSpanConfig::UuidText(const uint8_t* b) {
    uint64_t halves[2] = {0, 0};
    for (size_t i = 0; i < 16; ++i)
        halves[i / 8] = halves[i / 8] << 8 | b[i];
    return ozy::cairndb::UuidText(halves[0], halves[1]);
}

std::vector<uint8_t> DfwSpanConfig::Request(uint8_t table, uint32_t count) const {
    std::vector<uint8_t> buf(w::kDvfHeaderSize + size_t(count) * w::kDvfEntrySize, 0);
    std::memcpy(buf.data(), agent_.data(), std::min(agent_.size(), w::kDvfAgentField - 1));
    buf[w::kDvfTableOffset] = table;
    PutBe32(buf.data() + w::kDvfCountOffset, count);
    return buf;
}

bool DfwSpanConfig::SetEnabled(bool enable) {
    DFW_INFO(enable ? "dfw: Enable %1" : "dfw: Disable %1",
             agent_ == w::kAgentServiceInsertion ? "SI" : "DFW");
    // One write with replace semantics: the table holds the default entry or nothing.
    std::vector<uint8_t> buf = Request(w::kDvfInclude, enable ? 1 : 0);
    if (enable)
        PutEntry(buf.data() + w::kDvfHeaderSize, w::kDvfEntryDefault, nullptr);
    int rc = Ioctl(w::kDvfWriteTable, buf);
    if (rc != 0) {
        DFW_ERROR_CODE("LCP01136", "dfw: Failed to %1 include table of agent %2: %3",
                       enable ? "set" : "clear", agent_, FW_StatusToString(rc));
        return false;
    }
    DFW_INFO(
        enable ? "dfw: Set include table of agent %1" : "dfw: Cleared include table of agent %1",
        agent_);
    return true;
}

bool DfwSpanConfig::ReadExclude(std::vector<std::string>* vnics) {
    std::vector<uint8_t> size = Request(w::kDvfExclude, 0);
    int rc = Ioctl(w::kDvfExcludeSize, size);
    if (rc != 0 || size.size() < w::kDvfHeaderSize) {
        DFW_ERROR("dfw: Failed to get kernel exclude table size of agent %1: %2", agent_,
                  FW_StatusToString(rc != 0 ? rc : int(w::kStatusIoError)));
        return false;
    }
    uint32_t total = Be32(size.data() + w::kDvfTotalOffset);
    DFW_INFO("dfw: Found total of %1 vnics in kernel exclude table", total);
    if (total > kMaxExcluded) {
        DFW_ERROR_CODE("LCP01143", "dfw: too many vnics to exclude: %1", total);
        return false;
    }
    vnics->clear();
    if (total == 0) {
        kernelExclude_.clear();
        return true;
    }
    std::vector<uint8_t> buf = Request(w::kDvfExclude, total);
    rc = Ioctl(w::kDvfReadExclude, buf);
    if (rc != 0 || buf.size() < w::kDvfHeaderSize) {
        DFW_ERROR("dfw: Failed to read kernel exclude table of agent %1: %2", agent_,
                  FW_StatusToString(rc != 0 ? rc : int(w::kStatusIoError)));
        return false;
    }
    // Only entries that are in the buffer and were asked for.
    uint32_t returned = Be32(buf.data() + w::kDvfCountOffset);
    size_t fit = (buf.size() - w::kDvfHeaderSize) / w::kDvfEntrySize;
    size_t n = std::min<size_t>({returned, total, fit});
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* e = buf.data() + w::kDvfHeaderSize + i * w::kDvfEntrySize;
        if (e[1] != w::kDvfEntrySize) {
            DFW_ERROR_CODE("LCP01141", "dfw: bad exclude entry length %1", unsigned(e[1]));
            continue;
        }
        TarpFirewall::TarpDvfEntry entry;
        if (!TarpFirewall::DecodeDvfEntry(e, w::kDvfEntrySize, &entry) ||
            entry.type != w::kDvfEntryVnic) {
            DFW_ERROR_CODE("LCP01142", "dfw: bad exclude entry type %1", unsigned(e[0]));
            continue;
        }
        vnics->push_back(UuidText(entry.vnic.data()));
    }
    kernelExclude_ = *vnics;
    return true;
}

bool DfwSpanConfig::WriteExclude(const std::vector<std::string>& vnics) {
    if (vnics.size() > kMaxExcluded) {
        DFW_ERROR_CODE("LCP01143", "dfw: too many vnics to exclude: %1", vnics.size());
        return false;
    }
    std::vector<std::array<uint8_t, 16>> ids;
    std::vector<std::string> texts;
    for (const std::string& v : vnics) {
        std::array<uint8_t, 16> id{};
        if (!ParseUuid(v, &id)) {
            DFW_ERROR_CODE("LCP01144", "dfw: invalid exclude vnic: %1", v);
            continue;
        }
        ids.push_back(id);
        texts.push_back(UuidText(id.data()));
    }
    std::vector<uint8_t> buf = Request(w::kDvfExclude, static_cast<uint32_t>(ids.size()));
    for (size_t i = 0; i < ids.size(); ++i)
        PutEntry(buf.data() + w::kDvfHeaderSize + i * w::kDvfEntrySize, w::kDvfEntryVnic,
                 ids[i].data());
    int rc = Ioctl(w::kDvfWriteTable, buf);
    if (rc != 0) {
        DFW_ERROR_CODE("LCP01137", "dfw: Failed to write kernel exclude table of agent %1: %2",
                       agent_, FW_StatusToString(rc));
        return false;
    }
    DFW_INFO("dfw: Replaced kernel exclude table with %1 vnics", ids.size());
    kernelExclude_ = std::move(texts);
    return true;
}

bool DfwSpanConfig::SyncExclusions(const std::vector<std::string>& excluded,
                                   const std::vector<std::string>& activeFilters, bool fullSync,
                                   bool* written) {
    *written = false;
    DFW_INFO("dfw: Found %1 active %2 filters from filter repo", activeFilters.size(), kind());
    if (fullSync)
        DFW_INFO("dfw: Excluding %1 vifs in full sync case", excluded.size());
    // The table is compared in one text form (lower case), as the device returns it.
    std::set<std::string> want;
    for (const std::string& v : excluded) {
        std::array<uint8_t, 16> id{};
        want.insert(ParseUuid(v, &id) ? UuidText(id.data()) : v);
    }
    std::vector<std::string> held;
    if (!ReadExclude(&held))
        return false;
    const std::set<std::string> have(held.begin(), held.end());
    bool differs = have.size() != held.size();  // duplicates in the device's table
    for (const std::string& v : want) {
        if (have.count(v) == 0) {
            DFW_INFO("dfw: need to add filter of vif %1 into exclude table", v);
            differs = true;
        }
    }
    for (const std::string& v : have) {
        if (want.count(v) == 0) {
            DFW_INFO("dfw: need to remove filter of vif %1 from exclude table", v);
            differs = true;
        }
    }
    if (differs) {
        if (!WriteExclude(std::vector<std::string>(want.begin(), want.end())))
            return false;
        *written = true;
    }
    DFW_INFO("dfw: Excluded %1 vifs and actual %2 (%3)filters", kernelExclude_.size(),
             activeFilters.size(), kind());
    return true;
}

std::vector<DfwSpanConfig::Vm> DfwSpanConfig::ParseVmList(const std::string& output) {
    std::vector<Vm> out;
    size_t start = 0;
    while (start < output.size() && out.size() < kMaxVms) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos)
            end = output.size();
        const size_t length = end - start;
        if (length > kMaxVmLine) {
            DFW_ERROR_CODE("LCP01145", "dfw: Invalid vmId %1",
                           "(line of " + std::to_string(length) + " characters)");
            start = end + 1;
            continue;
        }
        std::string line = output.substr(start, length);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        // Exactly two fields: the VM uuid and its world id.
        std::vector<std::string> fields;
        size_t p = 0;
        while (p < line.size() && fields.size() < 3) {
            size_t b = line.find_first_not_of(" \t", p);
            if (b == std::string::npos)
                break;
            size_t e = line.find_first_of(" \t", b);
            if (e == std::string::npos)
                e = line.size();
            fields.push_back(line.substr(b, e - b));
            p = e;
        }
        if (fields.size() != 2) {
            DFW_ERROR_CODE("LCP01145", "dfw: Invalid vmId %1", line);
            continue;
        }
        const std::string& world = fields[1];
        uint64_t id = 0;
        bool digits = !world.empty() && world.size() <= 10 &&
                      world.find_first_not_of("0123456789") == std::string::npos;
        if (digits) {
            for (char c : world)
                id = id * 10 + uint64_t(c - '0');
        }
        if (!digits || id == 0 || id > UINT32_MAX) {
            DFW_ERROR_CODE("LCP01145", "dfw: Invalid vmId %1", world);
            continue;
        }
        std::array<uint8_t, 16> uuid{};
        if (!ParseUuid(fields[0], &uuid)) {
            DFW_ERROR_CODE("LCP01146", "dfw: VM uuid (%1) is invalid", fields[0]);
            continue;
        }
        out.push_back(Vm{UuidText(uuid.data()), static_cast<uint32_t>(id)});
    }
    return out;
}

bool DfwSpanConfig::Revalidate(const Vm& vm) {
    std::array<uint8_t, 16> uuid{};
    if (!ParseUuid(vm.uuid, &uuid))
        return false;
    std::vector<uint8_t> buf(w::kDvfRevalidateSize, 0);
    std::memcpy(buf.data(), agent_.data(), std::min(agent_.size(), w::kDvfAgentField - 1));
    std::memcpy(buf.data() + w::kDvfRevalidateVmOffset, uuid.data(), 16);
    PutBe32(buf.data() + w::kDvfRevalidateWorldOffset, vm.worldId);
    int rc = Ioctl(w::kDvfRevalidateVm, buf);
    if (rc != 0) {
        DFW_ERROR_CODE("LCP01147", "dfw: Failed to revalidate VM %1 of world id %2: %3", vm.uuid,
                       vm.worldId, FW_StatusToString(rc));
        return false;
    }
    DFW_INFO("dfw: Revalidated VM %1 of world id %2 ", vm.uuid, vm.worldId);
    return true;
}

bool DfwSpanConfig::ListVms(std::vector<Vm>* vms, std::chrono::milliseconds timeout) {
    vms->clear();
    ozy::host::HostCommandOptions options;
    options.timeout = timeout;
    options.maxOutput = kMaxVms * (kMaxVmLine + 1);
    ozy::host::HostCommandResult r = ozy::host::RunHostCommand(kVmListScript, {}, options);
    if (r.outcome == ozy::host::HostCommandResult::Outcome::kFailedToStart) {
        DFW_DEBUG("dfw: no VM list (%1): %2", kVmListScript, r.error);
        return true;
    }
    if (!r.ok()) {
        DFW_ERROR_CODE("LCP01147", "dfw: Failed to list VMs with %1: %2", kVmListScript,
                       ozy::host::DescribeOutcome(r, options));
        return false;
    }
    *vms = ParseVmList(r.output);
    return true;
}

size_t DfwSpanConfig::RevalidateAll(const std::vector<Vm>& vms) {
    size_t n = 0;
    for (const Vm& vm : vms)
        n += Revalidate(vm);
    return n;
}

}  // namespace CfgAgent
