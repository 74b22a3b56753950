#include "platform/cairndb/MemberHealth.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <vector>

namespace ozy::cairndb {

using nlohmann::json;

namespace {

const char* const kTable = "Database";

// The atoms of a column value: an atom stands for the set of itself, ["set", [...]] for its
// elements. False when the value is neither.
bool Atoms(const json& v, std::vector<json>* out) {
    out->clear();
    if (v.is_array() && v.size() == 2 && v[0] == "set") {
        if (!v[1].is_array())
            return false;
        out->assign(v[1].begin(), v[1].end());
        return true;
    }
    out->push_back(v);
    return true;
}

// An optional column (a set of at most one atom) given whole, or in an update2 "modify": there
// each atom of the difference toggles, except that ovsdb-server sends a changed value as just the
// new atom (toggling it would leave two). `current` holds the value as one atom or nothing.
bool ApplyOptional(const json& v, bool diff, std::vector<json>* current) {
    std::vector<json> atoms;
    if (!Atoms(v, &atoms))
        return false;
    if (!diff) {
        *current = std::move(atoms);
        return current->size() <= 1;
    }
    std::vector<json> toggled = *current;
    for (const auto& a : atoms) {
        auto it = std::find(toggled.begin(), toggled.end(), a);
        if (it != toggled.end())
            toggled.erase(it);
        else
            toggled.push_back(a);
    }
    if (toggled.size() <= 1) {
        *current = std::move(toggled);
        return true;
    }
    if (atoms.size() == 1) {
        *current = std::move(atoms);
        return true;
    }
    return false;
}

bool UuidAtom(const json& a, std::string* out) {
    if (!a.is_array() || a.size() != 2 || a[0] != "uuid" || !a[1].is_string())
        return false;
    *out = a[1].get<std::string>();
    return true;
}

}  // namespace

MemberHealth::MemberHealth(std::string database) : database_(std::move(database)) {}

const char* MemberHealth::ServerDatabase() {
    return "_Server";
}

json MemberHealth::MonitorRequests() const {
    return {{kTable,
             json::array({{{"columns", json::array({"name", "model", "connected", "leader", "index",
                                                    "cid", "sid"})},
                           {"where", json::array({json::array({"name", "==", database_})})}}})}};
}

void MemberHealth::NewSession() {
    rowUuid_.clear();
    known_ = false;
    model_.clear();
    connected_ = false;
    leader_ = false;
    index_ = -1;
    cid_.clear();
    sid_.clear();
}

bool MemberHealth::ApplyRow(const json& row, bool diff, std::string* why) {
    if (!row.is_object()) {
        *why = "row is not an object";
        return false;
    }
    // Checked whole before anything changes.
    std::string model = model_;
    bool connected = connected_;
    bool leader = leader_;
    std::vector<json> index;
    if (index_ >= 0)
        index.push_back(index_);
    std::vector<json> cid;
    std::vector<json> sid;
    if (!cid_.empty())
        cid.push_back(json::array({"uuid", cid_}));
    if (!sid_.empty())
        sid.push_back(json::array({"uuid", sid_}));
    for (const auto& [column, value] : row.items()) {
        bool ok = true;
        if (column == "name") {
            ok = value == database_;
        } else if (column == "model") {
            ok = value.is_string();
            if (ok)
                model = value.get<std::string>();
        } else if (column == "connected" || column == "leader") {
            ok = value.is_boolean();
            if (ok)
                (column == "connected" ? connected : leader) = value.get<bool>();
        } else if (column == "index") {
            ok = ApplyOptional(value, diff, &index) &&
                 (index.empty() || (index[0].is_number_integer() && index[0].get<int64_t>() >= 0));
        } else if (column == "cid" || column == "sid") {
            std::string ignored;
            auto& set = column == "cid" ? cid : sid;
            ok = ApplyOptional(value, diff, &set) && (set.empty() || UuidAtom(set[0], &ignored));
        }
        if (!ok) {
            *why = "column " + column + " of the " + database_ + " row has a bad value " +
                   value.dump();
            return false;
        }
    }
    model_ = std::move(model);
    connected_ = connected;
    leader_ = leader;
    index_ = index.empty() ? -1 : index[0].get<int64_t>();
    cid_.clear();
    sid_.clear();
    if (!cid.empty())
        UuidAtom(cid[0], &cid_);
    if (!sid.empty())
        UuidAtom(sid[0], &sid_);
    return true;
}

bool MemberHealth::Apply(const json& tableUpdates, std::string* why) {
    if (!tableUpdates.is_object()) {
        *why = "table updates are not an object";
        return false;
    }
    auto table = tableUpdates.find(kTable);
    if (table == tableUpdates.end())
        return true;
    if (!table->is_object()) {
        *why = "Database updates are not an object";
        return false;
    }
    // All or nothing.
    const MemberHealth before = *this;
    if (!ApplyTable(*table, why)) {
        *this = before;
        return false;
    }
    return true;
}

bool MemberHealth::ApplyTable(const json& table, std::string* why) {
    for (const auto& [uuid, update] : table.items()) {
        if (!update.is_object() || update.size() != 1) {
            *why = "update of row " + uuid + " is not one operation";
            return false;
        }
        const std::string& op = update.begin().key();
        const json& row = update.begin().value();
        if (op == "delete") {
            if (uuid == rowUuid_)
                NewSession();
            continue;
        }
        bool diff = op == "modify";
        if (op != "initial" && op != "insert" && !diff) {
            *why = "unknown row operation " + op;
            return false;
        }
        if (diff && uuid != rowUuid_) {
            *why = "modify of an unknown row " + uuid;
            return false;
        }
        if (!diff) {
            // A new row starts from nothing.
            NewSession();
        }
        if (!ApplyRow(row, diff, why))
            return false;
        rowUuid_ = uuid;
        known_ = true;
    }
    return true;
}

bool MemberHealth::Usable(std::string* why) const {
    if (!known_ || !clustered())
        return true;
    if (!connected_) {
        *why = "it reports " + database_ + " not connected to its cluster";
        return false;
    }
    if (cid_ == seenCid_ && index_ < seenIndex_) {
        *why = "its " + database_ + " is behind (index " + std::to_string(index_) +
               ", already seen " + std::to_string(seenIndex_) + ")";
        return false;
    }
    return true;
}

void MemberHealth::Use() {
    if (!known_ || !clustered())
        return;
    if (cid_ != seenCid_) {
        seenCid_ = cid_;
        seenIndex_ = -1;
    }
    seenIndex_ = std::max(seenIndex_, index_);
}

std::string MemberHealth::Role() const {
    if (!known_)
        return "unknown";
    if (!clustered())
        return "standalone";
    if (!connected_)
        return "disconnected";
    return leader_ ? "leader" : "follower";
}

std::string MemberHealth::Describe() const {
    if (!known_)
        return "no report";
    std::string s = "model " + model_ + ", connected " + (connected_ ? "true" : "false") +
                    ", leader " + (leader_ ? "true" : "false");
    if (index_ >= 0)
        s += ", index " + std::to_string(index_);
    if (!cid_.empty())
        s += ", cluster " + cid_;
    if (!sid_.empty())
        s += ", server " + sid_;
    return s;
}

}  // namespace ozy::cairndb
