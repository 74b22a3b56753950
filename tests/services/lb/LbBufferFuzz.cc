// Fuzz target: random load-balancer object graphs through LbApp. The bytes are read as a list of
// operations (objects 1-8 of every kind, created, changed, linked and deleted, in batches, some
// of them full syncs); every buffer LbApp sends must be exactly its header's length and be
// accepted whole by the emulator's tables, with one entry per object at most. A first byte of 255
// hands the rest as the body of each record type instead (parsing hostile bodies).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "services/lb/LbApp.h"
#include "tests/fuzz/QuietLogs.h"
#include "tests/services/lb/LbObjects.h"
#include "tools/ozy-dpemu/LbTables.h"

namespace {

using namespace CfgAgent::test::lbobj;
using CfgAgent::ObjectType;

const ObjectType kTypes[] = {ObjectType::LB_SERVICE,
                             ObjectType::LB_VIRTUAL_SERVER,
                             ObjectType::LB_POOL,
                             ObjectType::LB_APPLICATION_PROFILE,
                             ObjectType::LB_PERSISTENCE_PROFILE,
                             ObjectType::CONTAINER,
                             ObjectType::ENTITY_GROUP_RELATION};

class Bytes {
  public:
    Bytes(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool More() const { return i_ < n_; }
    uint8_t Next() { return i_ < n_ ? p_[i_++] : 0; }
    uint64_t Obj() { return Next() % 8 + 1; }

  private:
    const uint8_t* p_;
    size_t n_;
    size_t i_ = 0;
};

pb::IpAddressMsg Address(Bytes& b) {
    const uint8_t v = b.Next();
    return v & 1 ? V6(v) : V4(0x0a000000u | v);
}

CfgAgent::CairnDBUpdateMsg Op(Bytes& b) {
    const uint8_t kind = b.Next() % 8;
    const uint64_t n = b.Obj();
    switch (kind) {
        case 0:
            return Service(n, {b.Obj()});
        case 1: {
            const uint8_t flags = b.Next();
            return Server(n, flags & 1 ? 0 : b.Obj(), b.Obj(), b.Obj(), flags & 2 ? b.Obj() : 0,
                          flags & 4 ? 0 : 0x0a000000u | b.Next(), b.Next(),
                          flags & 8 ? 17 : (flags & 16 ? b.Next() : 6));
        }
        case 2: {
            std::vector<pb::LbPoolMemberMsg> members(b.Next() % 5);
            for (auto& m : members)
                m = Member(Address(b), b.Next(), b.Next() % 3);
            const uint8_t g = b.Next();
            return PoolRec(n, {b.Obj(), b.Obj()}, members, g % 3 == 0 ? 0 : g % 8 + 1, b.Next() % 5,
                           b.Next());
        }
        case 3:
            return App(n, b.Next() % 5);
        case 4:
            return Persist(n, b.Next() % 4);
        case 5:
            return Group(n, {Address(b), Address(b)});
        case 6:
            return Relation(n, b.Obj(), {b.Obj(), b.Obj()}, b.Next() % 3);
        default:
            return Delete(kTypes[b.Next() % 7], n);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CfgAgent::test::QuietLogs(CfgAgent::kLogError);
    if (size > 4096)
        return 0;
    ozy::dpemu::LbTables device;
    CfgAgent::LbAppOptions o;
    o.send = [&device](uint8_t* buf, size_t n) {
        std::string why;
        auto config = ozy::device::DecodeLbConfig(buf, n, &why);
        if (!config)
            std::abort();  // a buffer the device cannot read whole
        std::set<std::pair<int, ozy::device::LbUuid>> seen;
        for (const auto& e : config->entries) {
            if (!seen.emplace((e.kind + 1) / 2, e.id).second)
                std::abort();  // one object twice in one update
        }
        if (device.Ioctl(buf, n).status != 0)
            std::abort();
        return 0;
    };
    ozy::RefPtr<CfgAgent::LbApp> app = ozy::MakeRef<CfgAgent::LbApp>(std::move(o));
    app->Start({});
    Bytes b(data, size);
    if (size > 0 && data[0] == 255) {
        for (ObjectType t : kTypes) {
            CfgAgent::CairnDBUpdateMsg r;
            r.objType = t;
            r.id = Id(1);
            r.data.assign(reinterpret_cast<const char*>(data + 1), size - 1);
            app->UpdateDesiredState({r}, false);
        }
        app->Stop();
        return 0;
    }
    while (b.More()) {
        const uint8_t head = b.Next();
        std::vector<CfgAgent::CairnDBUpdateMsg> batch(head % 6);
        for (auto& r : batch)
            r = Op(b);
        app->UpdateDesiredState(batch, head >= 240);
    }
    app->Stop();
    return 0;
}
