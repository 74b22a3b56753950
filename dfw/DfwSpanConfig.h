#pragma once
// One filter agent's span in the dataplane ("orvane-sfw" or "orvane-si"): its include table (the
// single default entry turns the agent's filters on, an empty table turns them off), its exclude
// table (vnics whose filters the dataplane bypasses), and the revalidation of the running VMs'
// filters after either changed. Everything goes through DVF_Ioctl on the firewall device.
//
// The include table is written once with replace semantics (never reset and then written: a
// failed second step would leave the agent's filters off for good). A failed write is reported
// (Error()) and the caller tries again on its next pass.
//
// The exclude table holds the cache's exclusion list: each vif id in uuid text form becomes one
// 23-byte vnic entry (an id not in that form is refused alone with LCP01144; more than
// kMaxExcluded with LCP01143). What the device returns is untrusted: its total is bounded and
// every entry checked (LCP01141 length, LCP01142 type).
//
// The running VMs come from the host script "/bin/tarp_vm_list.sh" (fork/exec, no shell, bounded
// output and time), one "VM_UUID WORLD_ID" a line; lines that are too long, a world id that is not
// a decimal number from 1 to 2^32-1 (LCP01145) or a VM id not in uuid form (LCP01146) are skipped.
//
// Not thread-safe: one owner (the process loop) calls it; Exclude() copies for the CLI are taken
// by the owner.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace CfgAgent {

class DfwSpanConfig {
  public:
    static constexpr size_t kMaxExcluded = 4096;
    static constexpr size_t kMaxVms = 4096;
    static constexpr size_t kMaxVmLine = 128;
    static constexpr const char* kVmListScript = "/bin/tarp_vm_list.sh";

    struct Vm {
        std::string uuid;
        uint32_t worldId = 0;
        bool operator==(const Vm& o) const { return uuid == o.uuid && worldId == o.worldId; }
    };

    explicit DfwSpanConfig(std::string agent);

    const std::string& agent() const { return agent_; }
    // "dfw" or "si".
    const char* kind() const;

    // Include table: the default entry (on), or empty (off). False on failure (LCP01136).
    bool SetEnabled(bool enable);

    // Reads the exclude table as vif ids in uuid text; false on failure (logged).
    bool ReadExclude(std::vector<std::string>* vnics);
    // Replaces the exclude table; ids that cannot be converted are skipped (LCP01144). False when
    // the list is too long (LCP01143) or the write failed (LCP01137).
    bool WriteExclude(const std::vector<std::string>& vnics);
    // Makes the exclude table hold `excluded` (the cache's list), writing only when it differs
    // from what the device holds. `activeFilters` are the vifs with a filter of this agent.
    // Returns false on failure; `*written` tells whether the table was replaced.
    bool SyncExclusions(const std::vector<std::string>& excluded,
                        const std::vector<std::string>& activeFilters, bool fullSync,
                        bool* written);
    // The exclude table as last read or written.
    const std::vector<std::string>& Exclude() const { return kernelExclude_; }

    // The running VMs, listed by the script (a missing script lists none); false when it failed
    // (LCP01147). Blocks up to `timeout`.
    static bool ListVms(std::vector<Vm>* vms,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Parses the script's output (untrusted).
    static std::vector<Vm> ParseVmList(const std::string& output);
    // Revalidates the VMs' filters of this agent; the number revalidated (failures LCP01147).
    size_t RevalidateAll(const std::vector<Vm>& vms);
    bool Revalidate(const Vm& vm);

    // 8-4-4-4-12 hex text (either case) to 16 bytes; false for anything else.
    static bool ParseUuid(const std::string& text, std::array<uint8_t, 16>* out);
    static std::string UuidText(const uint8_t* bytes);

  private:
    // The table header for `table` with `count` entries, then room for them.
    std::vector<uint8_t> Request(uint8_t table, uint32_t count) const;

    std::string agent_;
    std::vector<std::string> kernelExclude_;
};

}  // namespace CfgAgent
