// Fuzz target: what SIApp reads from outside. The first byte chooses: 0 the bytes are a message
// of the kernel link "ozy_tarp_si_krnlink" (the length field set to their size); 1, 2, 3 they
// are the body of a service path, chain or redirection policy record, handed over as an update
// and then as a delete, each followed by a loop pass against a dataplane that accepts everything.
#include <cstddef>
#include <cstdint>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "services/si/ISIDataplane.h"
#include "services/si/SIApp.h"

namespace {

class NullDataplane : public CfgAgent::si::ISIDataplane {
  public:
    int SiIoctl(uint32_t, uint32_t, uint32_t, const std::vector<uint8_t>&) override { return 0; }
    int SiStatus(uint32_t* s) override { return *s = 0; }
    int SpfStatus(uint32_t* s) override { return *s = 0; }
    int Ovl2(uint32_t, uint32_t, const std::vector<uint8_t>&) override { return 0; }
};

CfgAgent::SIApp& App() {
    static ozy::RefPtr<CfgAgent::SIApp> app = [] {
        CfgAgent::SIAppOptions o;
        o.dataplane = std::make_shared<NullDataplane>();
        o.alarmDataplane = o.dataplane;
        o.postLoop = false;
        o.random = [] { return 7u; };
        o.makeLink = [](const std::string&, auto, auto, int) {
            return ozy::RefPtr<CfgAgent::DataplaneLink>();
        };
        auto a = ozy::MakeRef<CfgAgent::SIApp>(std::move(o));
        a->Start(boost::property_tree::ptree());
        return a;
    }();
    return *app;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 0xFFFF)
        return 0;
    const uint8_t kind = data[0] % 4;
    std::vector<uint8_t> body(data + 1, data + size);
    if (kind == 0) {
        if (body.size() >= 4) {
            body[2] = static_cast<uint8_t>(body.size() >> 8);
            body[3] = static_cast<uint8_t>(body.size());
        }
        App().HandleDpMessage(body.data(), body.size());
        return 0;
    }
    static const CfgAgent::ObjectType kTypes[] = {CfgAgent::ObjectType::SI_SERVICE_PATH,
                                                  CfgAgent::ObjectType::SI_SERVICE_CHAIN,
                                                  CfgAgent::ObjectType::SI_REDIRECTION_POLICY};
    CfgAgent::CairnDBUpdateMsg u;
    u.objType = kTypes[kind - 1];
    u.id = "id";
    u.data.assign(body.begin(), body.end());
    App().UpdateDesiredState({u}, false);
    App().ProcessUpdates();
    u.op = CfgAgent::Operation::OPERATION_DELETE;
    App().UpdateDesiredState({u}, false);
    App().ProcessUpdates();
    return 0;
}
