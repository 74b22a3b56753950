#pragma once
// The extension points of ozy-dpemu.
//
// A message family (KCP, VXLAN, VDR, firewall filter, IP discovery, ...) is one FamilyHandler:
// the emulator listens on the family's kernel-link endpoint and hands the handler every framed
// message, connect and disconnect of the agent; the handler keeps the family's programmed state,
// answers as the dataplane would, renders its tables for "dpemu/dump FAMILY", handles
// "dpemu/out-of-sync FAMILY [ARGS]" and may register injection commands of its own. A device
// ("/dev/fc", "/dev/vswitch", ...) is one DeviceHandler, which answers ioctl frames
// (platform/device/DeviceFrame.h). Handlers are created from the tables in Registry.cc.
//
// Everything runs on the emulator's loop thread: handlers need no locks, must not block, and
// must treat every received byte as untrusted (log with the reason and drop; never crash).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "dataplane/DpFraming.h"

namespace ozy::dpemu {

struct CommandResult {
    bool ok = true;
    std::string text;
    static CommandResult Ok(std::string text) { return CommandResult{true, std::move(text)}; }
    static CommandResult Error(std::string text) { return CommandResult{false, std::move(text)}; }
};

using CommandFn = std::function<CommandResult(const std::vector<std::string>& args)>;

// Registration of control commands; the functions run on the loop thread.
class CommandTable {
  public:
    virtual ~CommandTable() = default;
    virtual void Add(const std::string& name, const std::string& usage, int minArgs, int maxArgs,
                     CommandFn fn) = 0;
};

// A family's kernel-link endpoint, as its handler sees it. Connections are numbered from 1.
class LinkChannel {
  public:
    virtual ~LinkChannel() = default;
    virtual const std::string& Endpoint() const = 0;
    virtual bool Send(uint64_t conn, const CfgAgent::DpMsg& msg) = 0;
    virtual bool Drop(uint64_t conn) = 0;
    virtual std::vector<uint64_t> Connections() const = 0;
};

class DeviceHandler;

// A device served by the same object as a family (see FamilyHandler::Device).
struct SharedDevice {
    DeviceHandler* handler = nullptr;  // owned by the family handler
    std::string name;                  // "dpemu/dump NAME"
    std::string path;                  // logical device path
    std::string description;
};

class FamilyHandler {
  public:
    virtual ~FamilyHandler() = default;
    // Called once, before the endpoint listens.
    virtual void Attach(LinkChannel* channel) { channel_ = channel; }
    virtual void OnConnect(uint64_t conn) { (void)conn; }
    virtual void OnDisconnect(uint64_t conn) { (void)conn; }
    // One complete message: at least 4 bytes, `size` equal to its length field.
    virtual void OnMessage(uint64_t conn, const uint8_t* msg, size_t size) = 0;
    virtual nlohmann::json Dump() const = 0;
    // "dpemu/out-of-sync FAMILY [ARGS]": what the family reports as out of sync.
    virtual CommandResult OutOfSync(const std::vector<std::string>& args) {
        (void)args;
        return CommandResult::Error("this family has no out-of-sync report");
    }
    virtual void RegisterCommands(CommandTable& table) { (void)table; }
    // Parts of the family's state with a "dpemu/dump NAME" of their own (the firewall device's
    // load-balancer tables: "lb"): their names, and the dump of one (false for another name).
    virtual std::vector<std::string> PartNames() const { return {}; }
    virtual bool DumpPart(const std::string& name, nlohmann::json* out) const {
        (void)name;
        (void)out;
        return false;
    }
    // A family whose state also stands behind a device returns that device here; the emulator
    // serves it for as long as the family lives.
    virtual SharedDevice Device() { return {}; }
    // Called once every family exists: a family that answers from another one's tables (the
    // traceflow family reads the KCP ports) looks it up by name here.
    using PeerLookup = std::function<FamilyHandler*(const std::string& name)>;
    virtual void FindPeers(const PeerLookup& lookup) { (void)lookup; }

  protected:
    LinkChannel* channel_ = nullptr;
};

struct IoctlResult {
    uint32_t status = 0;  // 0 or an errno value
    std::vector<uint8_t> payload;
};

class DeviceHandler {
  public:
    virtual ~DeviceHandler() = default;
    virtual IoctlResult Ioctl(uint32_t command, const uint8_t* payload, size_t size) = 0;
    virtual nlohmann::json Dump() const = 0;
    virtual void RegisterCommands(CommandTable& table) { (void)table; }
};

}  // namespace ozy::dpemu
