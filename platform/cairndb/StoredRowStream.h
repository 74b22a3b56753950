#pragma once
// The rows of one streamed select read, decoded and handed on in batches as the reply is parsed, so
// that a large table never exists whole as parsed JSON or as stored objects. Internal to the client
// library.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/cairndb/CairnDbClientInterface.h"

namespace ozy::cairndb {

class StoredRowStream {
  public:
    using Deliver = std::function<void(const std::vector<StoredObject>& rows)>;
    // The stream of the request with JSON-RPC id `id`; nullptr when that request is not one.
    using Find = std::function<StoredRowStream*(const nlohmann::json& id)>;

    // Rows of `table` (for the log), handed to `deliver` `batch` at a time (at least 1).
    StoredRowStream(std::string table, size_t batch, Deliver deliver);

    // Decodes one row of the select result: a row that does not decode is logged ("LCP03009") and
    // counted as skipped; a batch is delivered once full.
    void AddRow(const nlohmann::json& row);
    // Decodes each element of the JSON array `text` as AddRow does; throws what json::parse throws.
    void AddRows(const std::string& text);
    // Delivers the rows decoded and not yet delivered.
    void Flush();
    size_t Skipped() const { return skipped_; }

    // Parses the JSON-RPC message `text` as json::parse does (and throws what it throws). When the
    // message is the reply to a streamed request (`find`) and its id comes before its result (the
    // server's order), each row of the select result goes to that stream's AddRow as soon as it
    // is parsed and is left out of the message returned: its rows array comes back empty. Any
    // other message comes back whole.
    static nlohmann::json ParseMessage(const std::string& text, const Find& find);
    // Whether `prefix`, the start of a JSON-RPC message that ends with an opening bracket, opens
    // the rows array of a select result as ParseMessage finds it (whatever the id).
    static bool OpensRows(std::string_view prefix);

  private:
    std::string table_;
    size_t batch_;
    Deliver deliver_;
    std::vector<StoredObject> rows_;
    size_t skipped_ = 0;
};

}  // namespace ozy::cairndb
