#include "intake/RuntimeReconcile.h"

#include <algorithm>
#include <string>
#include <tuple>

#include "platform/cairndb/CairnDbClientInterface.h"
#include "proto/BodyOid.h"
#include "proto/CairndbSchema.h"
#include "proto/UuidText.h"
#include "proto/cairndb_types.pb.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

bool RuntimeReconcile::Index(const Requests& list) {
    list_ = &list;
    tables_.clear();
    putsByTable_.clear();
    write_.assign(list.size(), false);
    deletes_.clear();
    puts_ = 0;
    unchanged_ = 0;
    std::string oid;
    std::string error;
    for (size_t i = 0; i < list.size(); ++i) {
        const pb::ModifyRequestMsg& r = list[i];
        if (r.vdb() < 1 || r.vdb() > 65535)
            return false;
        if (r.has_flush()) {
            if (puts_ != 0 || ozy::cairndb::FindObjectType(r.flush().object_type()) == nullptr)
                return false;
            Table t{r.flush().object_type(), r.vdb()};
            if (putsByTable_.emplace(t, std::vector<Slot>()).second)
                tables_.push_back(t);
            continue;
        }
        if (!r.has_put())
            return false;
        auto table = putsByTable_.find({r.put().object().object_type(), r.vdb()});
        if (table == putsByTable_.end())
            return false;
        // Flushed tables are object types (checked above).
        const ozy::cairndb::ObjectTypeInfo* info = ozy::cairndb::FindObjectType(table->first.first);
        Slot slot;
        if (!ozy::cairndb::BodyOid(*info, r.put().object().body(), &oid, &error) ||
            !ozy::cairndb::ParseUuidText(oid, &slot.left, &slot.right))
            return false;
        slot.index = static_cast<uint32_t>(i);
        table->second.push_back(slot);
        write_[i] = true;
        ++puts_;
    }
    for (auto& [table, slots] : putsByTable_) {
        std::sort(slots.begin(), slots.end(), [](const Slot& a, const Slot& b) {
            return std::tie(a.left, a.right, a.index) < std::tie(b.left, b.right, b.index);
        });
        // A later put of the same object replaces an earlier one, as it would in one transaction.
        size_t kept = 0;
        for (size_t i = 0; i < slots.size(); ++i) {
            if (kept != 0 && slots[kept - 1].left == slots[i].left &&
                slots[kept - 1].right == slots[i].right) {
                write_[slots[kept - 1].index] = false;
                slots[kept - 1] = slots[i];
            } else {
                slots[kept++] = slots[i];
            }
        }
        slots.resize(kept);
        slots.shrink_to_fit();
    }
    return true;
}

bool RuntimeReconcile::Note(const Table& table, const ozy::cairndb::StoredObject& row) {
    auto t = putsByTable_.find(table);
    if (t == putsByTable_.end())
        return false;
    // A row under another spelling of its identifier is not the one a put or a delete names.
    uint64_t left = 0;
    uint64_t right = 0;
    if (!ozy::cairndb::ParseUuidText(row.oid, &left, &right) ||
        ozy::cairndb::UuidText(left, right) != row.oid)
        return false;
    auto it = std::lower_bound(t->second.begin(), t->second.end(), std::make_pair(left, right),
                               [](const Slot& s, const std::pair<uint64_t, uint64_t>& id) {
                                   return std::tie(s.left, s.right) < std::tie(id.first, id.second);
                               });
    if (it == t->second.end() || it->left != left || it->right != right) {
        pb::ModifyRequestMsg del;
        del.set_vdb(table.second);
        del.mutable_delete_()->set_object_type(static_cast<pb::ObjectType>(table.first));
        del.mutable_delete_()->mutable_id()->set_left(left);
        del.mutable_delete_()->mutable_id()->set_right(right);
        deletes_.push_back(std::move(del));
        return true;
    }
    Slot& slot = *it;
    if (slot.seen)
        return false;
    slot.seen = true;
    // Left as it is when the put would leave it so: the same body and no op (the stored trace
    // stays too; a put with a trace of its own is always written).
    const pb::PutMsg& put = (*list_)[slot.index].put();
    if (!put.has_span() && row.op.empty() && row.body == put.object().body()) {
        write_[slot.index] = false;
        ++unchanged_;
    }
    return true;
}

std::vector<RuntimeReconcile::Requests> RuntimeReconcile::Lists(Requests& list, size_t chunk) {
    std::vector<Requests> out;
    auto add = [&](pb::ModifyRequestMsg&& r) {
        if (out.empty() || out.back().size() >= chunk) {
            out.emplace_back();
            out.back().reserve(chunk);
        }
        out.back().push_back(std::move(r));
    };
    for (size_t i = 0; i < list.size() && i < write_.size(); ++i) {
        if (write_[i])
            add(std::move(list[i]));
    }
    for (pb::ModifyRequestMsg& d : deletes_)
        add(std::move(d));
    Requests().swap(deletes_);
    return out;
}

}  // namespace CfgAgent
