#pragma once
// The emulated firewall as the emulator serves it: one TarpState behind the family "filter" (link
// "ozy_tarp_krnlink", notifications to the agent) and the device "tarp" ("/dev/ozy-tarp", the
// library's ioctls). The registry row builds this one object; the emulator takes the device
// handler from it (FamilyHandler::Device).
//
// Commands:
//   dpemu/tarp-filter NAME      the filter's realized rules, address sets, containers, settings
//   dpemu/tarp-eval NAME ...    a packet's verdict (TarpEval.h)
//   dpemu/filter-create NAME VIF LSP [AGENT] [imported] [no-vif] [no-tag]
//                               creates a filter and notifies the agent (type 1)
//   dpemu/filter-delete NAME    deletes it and notifies the agent (type 1, no vif)
//   dpemu/tarp-hopover-fail NAME                  migration failure (type 5)
//   dpemu/tarp-fail NAME STATUS [COUNT]           the filter's next COUNT (1) applies and settings
//                                                 fail with STATUS (errno name or value); 0 clears
//   dpemu/tarp-flood NAME PROTO warning|critical raise|clear   flood limit (type 6)
//   dpemu/vm-add VM_UUID WORLD_ID, dpemu/vm-del VM_UUID
//                               the running VMs that the host script "/bin/tarp_vm_list.sh"
//                               (written under the host root, one "VM_UUID WORLD_ID" a line)
//                               prints; the agent's revalidations show in the device's dump
//   dpemu/ntp ok|bad|garbage|hang|missing
//                               what the host script "/bin/check_ntp_cfg.sh" (written under the
//                               host root) does: prints 0, prints 1, prints junk, never returns,
//                               is absent (the start); the dump shows the mode under "ntp"
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/ozy-dpemu/Handlers.h"
#include "tools/ozy-dpemu/TarpState.h"

namespace ozy::dpemu {

class TarpFamily : public FamilyHandler {
  public:
    TarpFamily();

    void OnConnect(uint64_t conn) override;
    void OnDisconnect(uint64_t conn) override;
    void OnMessage(uint64_t conn, const uint8_t* msg, size_t size) override;
    nlohmann::json Dump() const override;
    std::vector<std::string> PartNames() const override { return {"lb"}; }
    bool DumpPart(const std::string& name, nlohmann::json* out) const override;
    void RegisterCommands(CommandTable& table) override;
    SharedDevice Device() override;

    tarp::TarpState& State() { return state_; }

    // The control commands, callable directly (tests).
    CommandResult FilterJson(const std::vector<std::string>& args);
    CommandResult Eval(const std::vector<std::string>& args);
    CommandResult FilterCreate(const std::vector<std::string>& args);
    CommandResult FilterDelete(const std::vector<std::string>& args);
    CommandResult HopoverFail(const std::vector<std::string>& args);
    CommandResult Flood(const std::vector<std::string>& args);
    CommandResult TarpFail(const std::vector<std::string>& args);
    CommandResult LbFail(const std::vector<std::string>& args);
    CommandResult VmAdd(const std::vector<std::string>& args);
    CommandResult VmDel(const std::vector<std::string>& args);
    CommandResult Ntp(const std::vector<std::string>& args);

  private:
    class Dev : public DeviceHandler {
      public:
        explicit Dev(tarp::TarpState& s) : state_(s) {}
        IoctlResult Ioctl(uint32_t command, const uint8_t* payload, size_t size) override {
            return state_.Ioctl(command, payload, size);
        }
        nlohmann::json Dump() const override;

      private:
        tarp::TarpState& state_;
    };

    // Sends to every connection of the agent; the number reached.
    size_t Broadcast(const CfgAgent::DpMsg& msg);
    // Writes the VM-list script from vms_; false with `why`.
    bool WriteVmList(std::string* why) const;
    // Places an executable shell script at the logical host path (written aside, then renamed);
    // false with `why`.
    static bool WriteHostScript(const std::string& logicalPath, const std::string& body,
                                std::string* why);

    tarp::TarpState state_;
    Dev device_{state_};
    std::map<std::string, uint32_t> vms_;  // VM uuid to world id
    std::string ntpMode_ = "missing";
    uint64_t connects_ = 0;
    uint64_t received_ = 0;
    uint64_t sent_ = 0;
};

}  // namespace ozy::dpemu
