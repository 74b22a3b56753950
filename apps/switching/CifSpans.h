#pragma once
// CifSpans: which container interfaces (CIFs) the firewall (DFW) and service-insertion (SI)
// configuration spans cover, from the CONFIG_SPAN and CONTAINER objects of the desired state.
//
// A configuration span of filter type 1 (DFW) or 3 (SI) brings that filter type to the node; other
// types are skipped, a span without a filter type is refused (LCP00514) and what was held for it
// stays. A CIF (by its VIF id and MAC) is covered by a filter type when
// - at least one span of that type is held and none of them excludes all,
// - no span lists the CIF's VIF among the type's excluded VIFs (dfw_excluded_vifs,
//   si_excluded_vifs, whatever the span's own type), and
// - when the spans of that type name containers (their `span` entries), the CIF's MAC is a member
//   of one of those containers (CONTAINER objects, kept by id with their MACs).
//
// Pure bookkeeping, no I/O; its owner (CIFConfig) calls it under the global agent lock and asks
// again for every CIF after each batch that changed something.
#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "dataplane/KcpWalk.h"
#include "intake/CairnDBUpdateMsg.h"

namespace CfgAgent {

class CifSpans {
  public:
    enum Kind { kDfw = 0, kSi = 1 };
    static constexpr uint32_t kDfwFilterType = 1;
    static constexpr uint32_t kSiFilterType = 3;

    // CONFIG_SPAN records (other types are ignored); a full sync replaces every span. True when
    // the coverage may have changed.
    bool UpdateSpans(const CairnDBUpdateList& records, bool fullSync);
    // CONTAINER records; a full sync replaces every container. True when a container named by a
    // span changed.
    bool UpdateContainers(const CairnDBUpdateList& records, bool fullSync);

    bool Covers(Kind kind, const std::string& cifVif, const kcp::MacAddr& mac) const;

    size_t SpanCount(Kind kind) const;

  private:
    struct Span {
        Kind kind = kDfw;
        bool excludeAll = false;
        std::set<std::string> excluded[2];  // VIFs, by kind
        std::set<std::string> containers;   // serialized container ids
    };
    // The merged view of every span, rebuilt when a span changes.
    struct Merged {
        size_t spans = 0;
        bool excludeAll = false;
        std::set<std::string> excluded;
        std::set<std::string> containers;
    };
    void Rebuild();
    bool Named(const std::string& containerId) const;

    std::map<std::string, Span> spans_;                     // by span id
    std::map<std::string, std::set<uint64_t>> containers_;  // container id -> member MACs
    std::array<Merged, 2> merged_;
};

}  // namespace CfgAgent
