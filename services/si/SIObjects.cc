#include "services/si/SIObjects.h"

#include "proto/UuidText.h"
#include "proto/cairndb_si.pb.h"
#include "runtime/Logger.h"

namespace CfgAgent::si {

namespace pb = orvane::ozy::cairndb;

namespace {

template <class M>
std::string Uuid(const M& m) {
    return m.has_id() ? ::ozy::cairndb::UuidText(m.id().left(), m.id().right()) : std::string();
}

// False (logged) when a hop does not fit the dataplane's fields.
bool ReadDirection(const pb::SiPathDirectionMsg& in, uint32_t pathId, const char* name,
                   Direction* out) {
    bool anyMac = false;
    for (const pb::SiHopMsg& h : in.hops()) {
        if (h.spi() > ozy::device::kMaxSpi || h.si() > 0xFF || (h.mac() >> 48) != 0 ||
            h.dvs_id().size() >= ozy::device::kOvl2DvsField) {
            CFG_ERROR_CODE("LCP01710",
                           "SIApp: Path dropped as its %1 hop (spi %2, si %3) does not fit the "
                           "dataplane with path id %4",
                           name, h.spi(), h.si(), pathId);
            return false;
        }
        Hop hop;
        for (int i = 0; i < 6; ++i)
            hop.mac[static_cast<size_t>(i)] = static_cast<uint8_t>(h.mac() >> (40 - 8 * i));
        hop.spi = h.spi();
        hop.si = static_cast<uint8_t>(h.si());
        hop.dvs = h.dvs_id();
        hop.ovl2 = h.ovl2_id();
        anyMac = anyMac || hop.HasMac();
        out->hops.push_back(std::move(hop));
    }
    if (!anyMac) {
        CFG_ERROR_CODE("LCP01710", "SIApp: Path dropped as its having 0 %1 mac with path id %2",
                       name, pathId);
        return false;
    }
    out->local = in.host_local_count();
    out->cross = in.host_cross_count();
    out->preference = in.preference();
    return true;
}

}  // namespace

bool Hop::HasMac() const {
    for (uint8_t b : mac) {
        if (b != 0)
            return true;
    }
    return false;
}

bool Path::Usable() const {
    for (const Direction* d : {&forward, &reverse}) {
        for (const Hop& h : d->hops) {
            if (!h.HasMac())
                return false;
        }
    }
    return true;
}

std::string UuidOf(const pb::SiRedirectionPolicyMsg& m) {
    return Uuid(m);
}
std::string UuidOf(const pb::SiServiceChainMsg& m) {
    return Uuid(m);
}
std::string UuidOf(const pb::SiServicePathMsg& m) {
    return Uuid(m);
}

std::optional<Policy> ValidatePolicy(const pb::SiRedirectionPolicyMsg& m) {
    Policy p;
    p.uuid = Uuid(m);
    if (!m.has_policy_id()) {
        CFG_ERROR_CODE("LCP01701", "SIApp: bad SiRedirectionPolicy: no policy id");
        return std::nullopt;
    }
    if (!m.has_transport_type()) {
        CFG_ERROR_CODE("LCP01702", "SIApp: bad SiRedirectionPolicy with uuid %1: no transport type",
                       p.uuid);
        return std::nullopt;
    }
    if (!m.has_failure_policy()) {
        CFG_ERROR_CODE("LCP01703", "SIApp: bad SiRedirectionPolicy with uuid %1: no failure policy",
                       p.uuid);
        return std::nullopt;
    }
    if (!m.has_service_chain_id()) {
        CFG_ERROR_CODE("LCP01704",
                       "SIApp: bad SiRedirectionPolicy with uuid %1: no service_chain_id", p.uuid);
        return std::nullopt;
    }
    if (m.transport_type() != kTransportOverlay && m.transport_type() != kTransportVlan) {
        CFG_ERROR_CODE("LCP01709",
                       "SIApp: bad SiRedirectionPolicy with uuid %1: SIApp: bad transport_type %2",
                       p.uuid, m.transport_type());
        return std::nullopt;
    }
    if (p.uuid.empty()) {
        CFG_ERROR_CODE("LCP01701", "SIApp: bad SiRedirectionPolicy: no uuid");
        return std::nullopt;
    }
    p.policyId = m.policy_id();
    p.transport = m.transport_type();
    p.failure = m.failure_policy();
    p.chainId = m.service_chain_id();
    p.plane = m.service_plane();
    return p;
}

std::optional<Chain> ValidateChain(const pb::SiServiceChainMsg& m) {
    Chain c;
    c.uuid = Uuid(m);
    if (c.uuid.empty()) {
        CFG_ERROR_CODE("LCP01706", "SIApp: bad SiServiceChain: no chain uuid");
        return std::nullopt;
    }
    if (!m.has_service_chain_id() || m.service_chain_id() > ozy::device::kMaxChainId) {
        CFG_ERROR_CODE("SIERR_BAD_SERVICE_CHAIN_ID",
                       "SIApp: SiServiceChain with bad service_chain_id (more than 10 bits): %1",
                       m.service_chain_id());
        return std::nullopt;
    }
    if (!m.has_path_selection_policy()) {
        CFG_ERROR_CODE("LCP01707",
                       "SIApp: bad SiServiceChain with uuid %1: no path_selection_policy", c.uuid);
        return std::nullopt;
    }
    c.chainId = static_cast<uint16_t>(m.service_chain_id());
    uint32_t s = m.path_selection_policy();
    c.selection = s == kSelectLocal || s == kSelectRemote ? static_cast<uint8_t>(s) : kSelectAny;
    return c;
}

std::optional<Path> ValidatePath(const pb::SiServicePathMsg& m) {
    Path p;
    p.uuid = Uuid(m);
    if (!m.has_service_path_id() || m.service_path_id() > ozy::device::kMaxSpi) {
        CFG_LOG_TAGS(kLogError,
                     {m.has_service_path_id() ? "errorCode:SIERR_BAD_SERVICE_PATH_ID"
                                              : "errorCode:LCP01708"},
                     "SIApp: SiServicePath with bad service_path_id (more than 24 bits): %1",
                     m.service_path_id());
        return std::nullopt;
    }
    if (!m.has_service_chain_id() || m.service_chain_id() > ozy::device::kMaxChainId) {
        CFG_LOG_TAGS(kLogError,
                     {m.has_service_chain_id() ? "errorCode:SIERR_BAD_SERVICE_CHAIN_ID"
                                               : "errorCode:LCP01704"},
                     "SIApp: SiServicePath with bad service_chain_id (more than 10 bits): %1",
                     m.service_chain_id());
        return std::nullopt;
    }
    if (p.uuid.empty()) {
        CFG_ERROR_CODE("LCP01708", "SIApp: bad SiServicePath with path id %1: no uuid",
                       m.service_path_id());
        return std::nullopt;
    }
    p.pathId = m.service_path_id();
    p.chainId = static_cast<uint16_t>(m.service_chain_id());
    if (!ReadDirection(m.forward(), p.pathId, "forward", &p.forward) ||
        !ReadDirection(m.reverse(), p.pathId, "reverse", &p.reverse))
        return std::nullopt;
    return p;
}

const char* SelectionName(uint8_t selection) {
    switch (selection) {
        case kSelectLocal:
            return "LOCAL";
        case kSelectRemote:
            return "REMOTE";
        default:
            return "ANY";
    }
}

}  // namespace CfgAgent::si
