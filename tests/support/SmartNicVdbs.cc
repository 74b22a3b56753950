#include "tests/support/SmartNicVdbs.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/AgentSystem.h"
#include "tests/support/Await.h"

namespace CfgAgent::test {

std::string TypedId(const std::string& type, const std::string& id) {
    return type + " " + id;
}

std::set<std::string> VdbObjects(AgentSystem& sys, int vdb, const std::vector<std::string>& types) {
    std::set<std::string> out;
    for (const std::string& type : types) {
        nlohmann::json got = sys.Get(type, std::string(), static_cast<uint16_t>(vdb));
        if (!got.is_object() || !got[type].is_array())
            continue;
        for (const auto& o : got[type])
            out.insert(TypedId(type, o.value("id", std::string())));
    }
    return out;
}

bool AwaitVdbObjects(AgentSystem& sys, int vdb, const std::vector<std::string>& types,
                     const std::set<std::string>& expected) {
    std::set<std::string> last;
    if (AwaitTrue([&] { return (last = VdbObjects(sys, vdb, types)) == expected; },
                  std::chrono::seconds(60), std::chrono::milliseconds(100)))
        return true;
    std::string got;
    for (const std::string& s : last)
        got += s + "; ";
    ADD_FAILURE() << "vdb " << vdb << " holds: " << got;
    return false;
}

void ExpectOneBinding(AgentSystem& sys, const std::string& hostSwitch, const std::string& sn,
                      int vdb, int objects) {
    RunResult table = sys.AgentCtl({"cfgagent/smartnic/hostswitch"});
    ASSERT_EQ(table.status, 0) << table.output;
    EXPECT_NE(table.output.find("Got hostswitch " + hostSwitch + ", active " + sn +
                                ", standy , current active " + sn + ", vdb " + std::to_string(vdb)),
              std::string::npos)
        << table.output;
    nlohmann::json info = sys.AgentJson({"cfgagent/smartnic/demuxinfo"});
    ASSERT_TRUE(info.is_object()) << info;
    ASSERT_EQ(info["vdbs"].size(), 1u) << info;
    EXPECT_EQ(info["vdbs"][0]["vdb"], vdb);
    EXPECT_EQ(info["vdbs"][0]["host_switches"][0], hostSwitch);
    EXPECT_EQ(info["vdbs"][0]["objects"], objects);
    EXPECT_EQ(info["vdbs"][0]["monitored"], true);
}

}  // namespace CfgAgent::test
