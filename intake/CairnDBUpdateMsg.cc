#include "intake/CairnDBUpdateMsg.h"

namespace CfgAgent {

void AddUpdatesToBatch(ComponentUpdateMap& batch, const CairnDBUpdateList& records,
                       ComponentType component) {
    if (component == ComponentType::NONE) {
        return;
    }
    CairnDBUpdateList& list = batch[component];
    list.insert(list.end(), records.begin(), records.end());
}

}  // namespace CfgAgent
