#include "apps/routing/L3AppEntry.h"

#include <boost/property_tree/ptree.hpp>

#include "apps/routing/L3App.h"
#include "intake/CairndbClient.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/Logger.h"
#include "runtime/daemon/AppContext.h"
#include "runtime/daemon/AppFactories.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheL3Table.h"

namespace CfgAgent {

L3AppEntry::L3AppEntry(AppContext& context) {
    L3AppOptions options;
    if (context.stateCache != nullptr) {
        options.configTable = context.stateCache->ConfigTable();
        options.l3Table = context.stateCache->L3Table();
    }
    options.cairndb = context.cairndb;
    if (ICairndbClient* db = context.cairndb) {
        // The barrier the L3 vertical has realized, written back as its PROCESSED_BARRIER.
        options.reportBarrier = [db](uint64_t barrier) {
            orvane::ozy::cairndb::ProcessedBarrierMsg report;
            report.set_vertical_id(L3App::kVerticalId);
            report.set_barrier_id(barrier);
            if (!db->reportProcessedBarrier(report))
                CFG_WARN("L3App: processed barrier %1 not reported to cairndb", barrier);
        };
    }
    app_ = ozy::MakeRef<L3App>(std::move(options));
}

L3AppEntry::~L3AppEntry() {
    if (app_)
        app_->Stop();
}

void L3AppEntry::Start(const boost::property_tree::ptree& config) {
    app_->Init(config);
}

void L3AppEntry::Stop() {
    app_->Stop();
}

std::unique_ptr<AgentApp> MakeL3AppEntry(AppContext& context) {
    return std::make_unique<L3AppEntry>(context);
}

}  // namespace CfgAgent
