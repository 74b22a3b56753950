#include "platform/cairndb/RowDirectory.h"

namespace ozy::cairndb {

const RowDirectory::Rows* RowDirectory::Find(int type, uint32_t vdb) const {
    auto it = tables_.find({type, vdb});
    return it == tables_.end() ? nullptr : &it->second;
}

RowDirectory::Rows& RowDirectory::Reset(int type, uint32_t vdb) {
    Rows& rows = tables_[{type, vdb}];
    rows.clear();
    return rows;
}

void RowDirectory::Inserted(int type, uint32_t vdb, const std::string& oid,
                            const std::string& uuid) {
    auto it = tables_.find({type, vdb});
    if (it != tables_.end())
        it->second[oid] = uuid;
}

void RowDirectory::Deleted(int type, uint32_t vdb, const std::string& oid) {
    auto it = tables_.find({type, vdb});
    if (it != tables_.end())
        it->second.erase(oid);
}

}  // namespace ozy::cairndb
