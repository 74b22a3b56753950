#pragma once
// What one database server says about the cairndb database in its `_Server` database (the
// `Database` table: model, whether the member is connected to its cluster, whether it is the
// leader, the index of the last log entry it has), followed by a monitor on that row, and whether
// the client may use the member.
//
// A member of a clustered database that is cut off from the others (or has not yet joined, or is
// still catching up after a restart) keeps serving reads of state that is no longer current: the
// client leaves a member that reports the database not connected to its cluster, and one whose
// index is behind what the client has already seen from this cluster (a member serving an older
// state than the one the client was given before). A standalone server is always usable.
//
// Internal to the client library; one instance per client, across its sessions.
#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace ozy::cairndb {

class MemberHealth {
  public:
    explicit MemberHealth(std::string database);

    // The `_Server` database's name and the monitor requests (the third parameter of
    // monitor_cond) for the database's row.
    static const char* ServerDatabase();
    nlohmann::json MonitorRequests() const;

    // A new session: forgets the row of the last member (keeps the highest index seen).
    void NewSession();
    // Applies the monitor's initial reply or one update2 notification's table updates. False (and
    // why) when they are malformed; the last known state stays.
    bool Apply(const nlohmann::json& tableUpdates, std::string* why);

    // Whether the member may be used; when not, why (for the log). Noting the member's index as
    // seen once it is used is the caller's part (Use).
    bool Usable(std::string* why) const;
    // The member is used: its index is the least any later member must have.
    void Use();

    // The member's role as last reported: "leader", "follower", "standalone", "disconnected" (a
    // member cut off from its cluster) or "unknown" (no row).
    std::string Role() const;
    // The cluster's state as last reported, for the operator: model, connected, leader, index and
    // the cluster and server ids, as one line.
    std::string Describe() const;

    bool known() const { return known_; }
    bool clustered() const { return model_ == "clustered"; }
    bool connected() const { return connected_; }
    bool leader() const { return leader_; }
    int64_t index() const { return index_; }  // -1 when not reported

  private:
    bool ApplyTable(const nlohmann::json& table, std::string* why);
    bool ApplyRow(const nlohmann::json& row, bool diff, std::string* why);

    std::string database_;
    std::string rowUuid_;
    bool known_ = false;
    std::string model_;
    bool connected_ = false;
    bool leader_ = false;
    int64_t index_ = -1;
    std::string cid_;
    std::string sid_;
    // The highest index used so far, and of which cluster.
    int64_t seenIndex_ = -1;
    std::string seenCid_;
};

}  // namespace ozy::cairndb
