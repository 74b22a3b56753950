#pragma once
// Turns one list of modify requests into database work with two round trips whatever the list's
// length: one transaction that reads every row the list touches, then, after the requests were
// applied in order in memory, one transaction that updates the rows that exist, inserts the new
// ones and deletes the removed ones. Updating in place (rather than delete and insert) lets
// monitors see modifies. The write transaction first asserts (OVSDB "wait") that the rows it
// changes still hold what was read, so a concurrent writer makes it fail as a whole and the caller
// can run the plan again.
//
// Internal to the client library.
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace orvane::ozy::cairndb {
class ModifyRequestMsg;
}

namespace ozy::cairndb {

class WritePlan {
  public:
    WritePlan();
    ~WritePlan();

    // Checks and indexes the requests. False (and the reason) when any request is malformed: an
    // unknown object type, a vdb outside 1..65535, a body that does not parse or has no id, an op
    // message that does not parse. Nothing of such a list is written.
    bool Prepare(const std::vector<orvane::ozy::cairndb::ModifyRequestMsg>& requests,
                 std::string* error);
    bool empty() const { return actions_.empty(); }

    // Operations of the read transaction (without the database name).
    nlohmann::json ReadOps() const;
    // Applies the requests to the rows read (the read transaction's result array) and returns the
    // operations of the write transaction; empty when nothing changes. False (and the reason) when
    // the read result is malformed or a patch cannot be applied.
    bool BuildWriteOps(const nlohmann::json& readResult, nlohmann::json* ops, std::string* error);

  private:
    using Key = std::tuple<int, uint32_t, std::string>;  // type, vdb, oid
    struct Action;
    struct State;
    std::vector<Action> actions_;
    std::vector<Key> rowReads_;                         // rows read one by one
    std::vector<std::pair<int, uint32_t>> tableReads_;  // (type, vdb) read whole
    std::set<std::pair<int, uint32_t>> flushed_;        // (type, vdb) flushed by the list
};

}  // namespace ozy::cairndb
