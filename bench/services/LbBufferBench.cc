// The load balancer's configuration buffer: LbMsgCache::Build of a full update beside protobuf
// SerializeToString of the same objects (the database messages the cache was filled from), both
// in process, median of five rounds each.
//
//   build-rel/bin/ozy-bench-lb [SERVERS]   (default 10000; a release tree, no sanitizers)
//
// The objects: SERVERS/100 LB services (each attached to a group of 16 VIF ports), SERVERS pools
// of 8 static members and a group of 8 addresses (IPv4 revision), SERVERS virtual servers with
// an application and a persistence profile.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/BenchFigures.h"
#include "proto/cairndb_firewall.pb.h"
#include "proto/cairndb_lb.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/Logger.h"
#include "services/lb/LbMsgCache.h"
#include "statecache/IdText.h"

namespace {

namespace pb = orvane::ozy::cairndb;
using ozy::bench::Clock;
using ozy::bench::Ms;

pb::UuidMsg Uuid(uint64_t kind, uint64_t n) {
    pb::UuidMsg u;
    u.set_left(kind << 40);
    u.set_right(n);
    return u;
}

pb::IpAddressMsg V4(uint32_t v) {
    pb::IpAddressMsg a;
    a.set_ipv4(v);
    return a;
}

struct Objects {
    std::vector<pb::LbServiceMsg> services;
    std::vector<pb::ContainerMsg> groups;
    std::vector<pb::EntityGroupRelationMsg> relations;
    std::vector<pb::LbPoolMsg> pools;
    std::vector<pb::LbVirtualServerMsg> servers;
    pb::LbApplicationProfileMsg app;
    pb::LbPersistenceProfileMsg persist;
};

Objects Make(unsigned servers) {
    Objects o;
    const unsigned services = servers / 100 + 1;
    for (unsigned s = 0; s < services; ++s) {
        pb::LbServiceMsg m;
        *m.mutable_id() = Uuid(1, s);
        m.set_display_name("lb-service-" + std::to_string(s));
        m.set_creation_time(1700000000000 + s);
        m.set_log_level(2);
        *m.add_attachment_container_ids() = Uuid(2, s);
        o.services.push_back(m);
        pb::EntityGroupRelationMsg r;
        *r.mutable_id() = Uuid(3, s);
        auto* c = r.add_container_logical_switch_port();
        *c->mutable_container_id() = Uuid(2, s);
        for (unsigned l = 0; l < 16; ++l)
            *c->add_logical_switch_port_ids() = Uuid(4, s * 16 + l);
        o.relations.push_back(r);
    }
    for (unsigned p = 0; p < servers; ++p) {
        pb::ContainerMsg g;
        *g.mutable_id() = Uuid(5, p);
        for (unsigned a = 0; a < 8; ++a)
            *g.add_ip_addresses()->mutable_ip() = V4(0x0b000000u + p * 8 + a);
        o.groups.push_back(g);
        pb::LbPoolMsg m;
        *m.mutable_id() = Uuid(6, p);
        *m.add_lbs_ids() = Uuid(1, p % services);
        for (unsigned a = 0; a < 8; ++a) {
            auto* pm = m.add_members();
            *pm->mutable_ip_address() = V4(0x0a000000u + p * 8 + a);
            pm->set_port(8080);
            pm->set_weight(a + 1);
        }
        *m.mutable_member_group()->mutable_container_id() = Uuid(5, p);
        m.mutable_member_group()->set_ip_revision_filter(1);
        m.mutable_member_group()->set_port(8443);
        o.pools.push_back(m);
        pb::LbVirtualServerMsg v;
        *v.mutable_id() = Uuid(7, p);
        *v.mutable_lbs_id() = Uuid(1, p % services);
        *v.mutable_pool_id() = Uuid(6, p);
        *v.mutable_application_profile_id() = Uuid(8, 0);
        *v.mutable_persistence_profile_id() = Uuid(9, 0);
        *v.mutable_ip_address() = V4(0xc0000000u + p);
        v.set_port(443);
        v.set_ip_protocol(6);
        o.servers.push_back(v);
    }
    *o.app.mutable_id() = Uuid(8, 0);
    o.app.set_type(3);
    *o.persist.mutable_id() = Uuid(9, 0);
    o.persist.set_type(1);
    return o;
}

template <class Msg>
void Feed(CfgAgent::LbMsgCache& cache, CfgAgent::ObjectType type, const Msg& m) {
    CfgAgent::CairnDBUpdateMsg r;
    r.objType = type;
    r.id = m.id().SerializeAsString();
    m.SerializeToString(&r.data);
    cache.Handle(r);
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned servers =
        argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 10000;
    if (servers < 1 || servers > 200000) {
        std::fprintf(stderr, "usage: ozy-bench-lb [SERVERS] (1..200000)\n");
        return 2;
    }
    CfgAgent::g_agentLogLevel = CfgAgent::kLogWarn;
    using OT = CfgAgent::ObjectType;
    const Objects o = Make(servers);
    CfgAgent::LbMsgCache cache([](const std::string&) { return true; });
    for (const auto& m : o.services)
        Feed(cache, OT::LB_SERVICE, m);
    for (const auto& m : o.relations)
        Feed(cache, OT::ENTITY_GROUP_RELATION, m);
    for (const auto& m : o.groups)
        Feed(cache, OT::CONTAINER, m);
    Feed(cache, OT::LB_APPLICATION_PROFILE, o.app);
    Feed(cache, OT::LB_PERSISTENCE_PROFILE, o.persist);
    for (const auto& m : o.pools)
        Feed(cache, OT::LB_POOL, m);
    for (const auto& m : o.servers)
        Feed(cache, OT::LB_VIRTUAL_SERVER, m);

    std::vector<double> build, serialize;
    size_t bytes = 0, entries = 0, pbBytes = 0;
    for (int round = 0; round < 5; ++round) {
        Clock::time_point t0 = Clock::now();
        CfgAgent::LbMsgCache::BuildResult r = cache.Build(true);
        build.push_back(Ms(Clock::now() - t0));
        ozy::bench::Check(r.ok, "the full build");
        bytes = r.size;
        entries = r.entries;

        t0 = Clock::now();
        std::string out;
        size_t total = 0;
        auto put = [&](const google::protobuf::MessageLite& m) {
            m.SerializeToString(&out);
            total += out.size();
        };
        for (const auto& m : o.services)
            put(m);
        for (const auto& m : o.relations)
            put(m);
        for (const auto& m : o.groups)
            put(m);
        put(o.app);
        put(o.persist);
        for (const auto& m : o.pools)
            put(m);
        for (const auto& m : o.servers)
            put(m);
        serialize.push_back(Ms(Clock::now() - t0));
        pbBytes = total;
    }
    const double b = ozy::bench::Median(build), s = ozy::bench::Median(serialize);
    std::printf("ozy-bench-lb: %u virtual servers, %zu entries, %zu bytes (protobuf %zu bytes)\n",
                servers, entries, bytes, pbBytes);
    std::printf(
        "LB buffer build (full): %.1f ms; protobuf SerializeToString: %.1f ms; ratio %.2f "
        "(target <= 2)\n",
        b, s, b / s);
    return 0;
}
