#include "intake/CairnDBUpdateMsg.h"

namespace CfgAgent {

static_assert(sizeof(CairnDBUpdateMsg) <= 96, "a full sync holds millions of these records");

namespace {

const std::string& NoContext() {
    static const std::string* empty = new std::string;
    return *empty;
}

}  // namespace

std::shared_ptr<const RecordContexts> MakeRecordContexts(std::string trace, std::string tenant) {
    if (trace.empty() && tenant.empty())
        return nullptr;
    return std::make_shared<const RecordContexts>(
        RecordContexts{std::move(trace), std::move(tenant)});
}

const std::string& CairnDBUpdateMsg::traceContext() const {
    return contexts_ ? contexts_->trace : NoContext();
}

const std::string& CairnDBUpdateMsg::tenantContext() const {
    return contexts_ ? contexts_->tenant : NoContext();
}

void CairnDBUpdateMsg::SetTraceContext(std::string trace) {
    ShareContexts(MakeRecordContexts(std::move(trace), tenantContext()));
}

void CairnDBUpdateMsg::SetTenantContext(std::string tenant) {
    ShareContexts(MakeRecordContexts(traceContext(), std::move(tenant)));
}

void CairnDBUpdateMsg::ShareContexts(std::shared_ptr<const RecordContexts> contexts) {
    contexts_ = std::move(contexts);
}

void AddUpdatesToBatch(ComponentUpdateMap& batch, const CairnDBUpdateList& records,
                       ComponentType component) {
    if (component == ComponentType::NONE) {
        return;
    }
    CairnDBUpdateList& list = batch[component];
    list.insert(list.end(), records.begin(), records.end());
}

}  // namespace CfgAgent
