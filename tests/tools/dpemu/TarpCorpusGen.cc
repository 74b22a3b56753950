// Writes the seed corpus of the emulated firewall device's fuzz target
// (tests/tools/dpemu/corpus/tarp_device_fuzz) from real library calls: every request the library
// sends to the device, as the target's frames (u8 selector, u16 length, payload; segments as whole
// bytes under selector 0xFF). Built on demand (target dpemu_tarp_corpus_gen) and run by hand when
// the layouts grow: dpemu_tarp_corpus_gen tests/tools/dpemu/corpus/tarp_device_fuzz
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "platform/tarp/TarpAttributes.h"
#include "platform/tarp/TarpFw.h"
#include "platform/tarp/TarpTestSeam.h"
#include "tests/platform/tarp/InProcessTarp.h"
#include "tests/platform/tarp/TarpTestRules.h"

using namespace ozy::tarp;
using namespace ozy::tarp::test;

namespace {

constexpr uint32_t kCommands[] = {
    kCmdApply,          kCmdSegmentPut,   kCmdFilterSetting,    kCmdListRuleSets,
    kCmdListAddrSets,   kCmdAddrSetStats, kCmdActivateAddrSets, kCmdCleanupAddrSets,
    kCmdFwIoctl,        kCmdDvfIoctl,     kCmdSiIoctl,          kCmdHello,
    kCmdListIpRepChunks};

std::vector<uint8_t> g_seed;

void Frame(uint8_t sel, const uint8_t* p, size_t n) {
    if (n > 0xFFFF)
        n = 0xFFFF;
    g_seed.push_back(sel);
    g_seed.push_back(uint8_t(n >> 8));
    g_seed.push_back(uint8_t(n));
    g_seed.insert(g_seed.end(), p, p + n);
}

void Record(uint32_t command, const uint8_t* p, size_t n) {
    if (command == kCmdSegmentPut) {
        Frame(0xFF, p + 16, n - 16);
        return;
    }
    for (uint8_t i = 0; i < sizeof kCommands / sizeof kCommands[0]; ++i) {
        if (kCommands[i] == command)
            Frame(i, p, n);
    }
}

void Write(const std::string& dir, const std::string& name) {
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(g_seed.data()), std::streamsize(g_seed.size()));
    g_seed.clear();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " DIR\n";
        return 2;
    }
    std::string dir = argv[1];
    InProcessTarp dev;
    dev.inject = [](uint32_t cmd, const uint8_t* p, size_t n) -> std::optional<uint32_t> {
        Record(cmd, p, n);
        return std::nullopt;
    };
    TarpFirewall::detail::SetDeviceOpenerForTest(&dev);
    const char* options[] = {"FWIODeviceName", "/dev/ozy-tarp"};
    FW_Handle* h = nullptr;
    if (FW_Initialize(FW_LIB_VERSION, nullptr, 1, 2, options, &h) != 0)
        return 1;
    std::string why;
    dev.state->CreateFilter({"f1", "vif-1", "lsp-1", kAgentFirewall, false, true}, &why);
    g_seed.clear();

    // Rules of every kind, address sets, containers, L2 and L3 roots.
    {
        CTarpFWCmdList list;
        ScopedConfigFile guard(&list);
        auto ctx = std::make_shared<CTarpFWContainer>("ctx", CTarpFWContainer::Type::kAttributes);
        ctx->addElement(CTarpFWElement::Attribute(str2attrkey("APP_ID"), "HTTP"));
        list.addCreateContainer(ctx);
        auto hours = std::make_shared<CTarpFWContainer>("hours", CTarpFWContainer::Type::kTime);
        hours->addElement(CTarpFWElement::Attribute(kAttrDayOfWeek, "MONDAY"));
        hours->addElement(CTarpFWElement::Attribute(kAttrStartTime, "01/01/2026,08:00"));
        hours->addElement(CTarpFWElement::Attribute(kAttrTimeOfDay, "09:00,17:00"));
        hours->addElement(CTarpFWElement::Attribute(kAttrTimeZone, "LOCAL"));
        list.addCreateContainer(hours);
        auto ids = std::make_shared<CTarpFWContainer>("users", CTarpFWContainer::Type::kIdentity);
        ids->addElement(CTarpFWElement::Identity("S-1-5-21-1"));
        list.addCreateContainer(ids);
        auto comp = std::make_shared<CTarpFWContainer>("rsrc7", CTarpFWContainer::Type::kAddresses);
        comp->addElement(CTarpFWElement::AddrSet("web"));
        comp->addElement(CTarpFWElement::Address(CTarpFWAddress::Parse("2001:db8::/64")));
        list.addCreateContainer(comp);
        auto bad = std::make_shared<CTarpFWAddrSet>("bad");
        bad->setIpReputation(true);
        list.addCreateAddrSet(bad);
        std::vector<RulePtr> l3 = {
            MakeRule(7, kActionDrop,
                     [](CTarpFWRuleBuilder& b) {
                         b.setDirection(1);
                         b.setProtocol(6, false);
                         b.addSourcePort(1, 1023);
                         b.addSourcePort(8080, 8080);
                         b.negateSourcePort();
                         b.addTCPFlags(2, 18);
                         b.setContainer(RuleSide::kSource, "rsrc7");
                         b.setAddress(RuleSide::kExcludeSource, CTarpFWAddress::Parse("10.0.0.9"));
                         b.setContainer(RuleSide::kExtSource, "users");
                         b.setAttributeProfile("ctx");
                         b.setTimeAttributeProfile("hours");
                         b.setEnableLog(true);
                         b.setTag("t");
                         b.setCategoryId(3);
                         b.setBucketId(1);
                     }),
            MakeRule(8, kActionAllow,
                     [](CTarpFWRuleBuilder& b) {
                         b.setProtocol(1, false);
                         b.addICMPTypeCode(8, 0);
                         b.setMaliciousContainer(RuleSide::kDest, "bad");
                         b.negateRuleAddress(RuleSide::kDest);
                     }),
            MakeRule(9, kActionRedirect, [](CTarpFWRuleBuilder& b) { b.setInetAF(true); }),
        };
        CTarpFWRuleBuilder nat;
        nat.setId(12);
        nat.setAction(1, 2, 3, "192.0.2.1");
        nat.setProtocol(17, false);
        nat.setDestPort(53, 53, true);
        auto natRule = nat.buildRule();
        natRule->setTCPStrict(true);
        natRule->setTenantCtx("org", "proj", "vpc");
        l3.emplace_back(natRule.release());
        std::vector<RulePtr> l2 = {MakeRule(
            100, kActionDrop,
            [](CTarpFWRuleBuilder& b) {
                b.setProtocol(0x0806, false);
                b.setAddress(RuleSide::kSource, CTarpFWAddress::Parse("02:00:00:00:00:66"));
            },
            false)};
        FillList(list, {MakeSet("web", {"10.0.0.0/24", "10.1.0.1"}, {"10.0.0.9"})},
                 {MakeSegment(l3)}, {MakeSegment(l2)});
        FW_EvaluateConfigFile(h, &list, "f1", 0);
    }
    Write(dir, "full_apply");

    // IP-reputation chunks on the shared filter: create two, replace one, destroy the other.
    {
        auto chunk = [](uint32_t id, uint32_t capacity) {
            auto c = std::make_shared<CTarpFWIpRepChunk>();
            c->id = id;
            c->capacity = capacity;
            c->bucket = 1;
            c->entries.push_back({0xC6336400, 0xFFFFFF00, 3, 90, 1});
            c->entries.push_back({0xCB007107, 0xFFFFFFFF, 1, 10, 2});
            return c;
        };
        CTarpFWCmdList create;
        ScopedConfigFile guard(&create);
        create.addCreateIpRepChunk(chunk(1, 6000));
        create.addCreateIpRepChunk(chunk(2, 6000));
        FW_EvaluateConfigFile(h, &create, kSharedAddrSetFilter, 0);
        CTarpFWCmdList replace;
        ScopedConfigFile guard2(&replace);
        replace.addCreateIpRepChunk(chunk(1, 10000));
        replace.addDestroyIpRepChunk(2);
        FW_EvaluateConfigFile(h, &replace, kSharedAddrSetFilter, 0);
        FW_IpRepChunkStat held[4];
        uint32_t total = 0;
        FW_FilterChanged(h, kSharedAddrSetFilter);
        FW_GetIpRepChunkList(h, held, 4, &total);
    }
    Write(dir, "ip_reputation_chunks");

    // Settings, queries, global sets and raw ioctls.
    FW_FloodCfg flood;
    flood.tcpHalfOpenLimit = 10;
    FW_SetFloodCfg(h, "f1", 0, &flood);
    FW_TimeoutCfg t;
    FW_SetTimeout(h, "f1", 0, &t);
    FW_DnsCfg dns;
    FW_SetDnsConfigProfile(h, "f1", 0, &dns);
    FW_ConfigSharedAddrSet(h, "f1", 0, 1);
    uint32_t n = 0;
    FW_FilterChanged(h, "f1");
    FW_GetRuleSetCount(h, "f1", &n);
    FW_GetAddrSetCount(h, "f1", &n);
    uint8_t stats[74 * 4];
    FW_GetAddrSetStatList(h, kSharedAddrSetFilter, stats, 4, &n);
    uint32_t a, b, c, d;
    FW_ActivateAddrSets(h, &a, &b, &c, &d);
    FW_CleanupAddrSets(h, &a);
    Write(dir, "settings_queries");

    std::vector<uint8_t> read(kReadHeaderSize + 2 * kFilterRecordSize, 0);
    read[3] = 1;
    read[7] = 2;
    FW_IoctlReq req;
    req.buf = read.data();
    req.size = uint32_t(read.size());
    FW_Ioctl(kFwIoctlReadFilters, &req);
    uint8_t update[4 + kUpdateConfigEntrySize] = {0, 0, 0, 1, 'f', '1'};
    req.buf = update;
    req.size = sizeof update;
    FW_Ioctl(kFwIoctlUpdateConfig, &req);
    std::vector<uint8_t> table(kDvfHeaderSize + kDvfEntrySize, 0);
    std::copy_n("orvane-sfw", 10, table.begin());
    table[32] = kDvfExclude;
    table[39] = 1;
    table[44] = kDvfEntryVnic;
    table[45] = kDvfEntrySize;
    req.buf = table.data();
    req.size = uint32_t(table.size());
    DVF_Ioctl(kDvfWriteTable, &req);
    DVF_Ioctl(kDvfReadExclude, &req);
    uint8_t si[16] = {};
    SI_IoctlReq s;
    s.count = 1;
    s.entrySize = 16;
    s.entries = si;
    SI_Ioctl(3, &s);
    Write(dir, "ioctls");
    FW_Terminate(h);
    return 0;
}
