#include "platform/cairndb/StoredRowStream.h"

#include <utility>

#include <nlohmann/json.hpp>

#include "platform/cairndb/TransactReplies.h"

namespace ozy::cairndb {

using nlohmann::json;

StoredRowStream::StoredRowStream(std::string table, size_t batch, Deliver deliver)
    : table_(std::move(table)), batch_(batch == 0 ? 1 : batch), deliver_(std::move(deliver)) {
    rows_.reserve(batch_);
}

void StoredRowStream::AddRow(const json& row) {
    StoredObject o;
    if (!DecodeStoredRow(row, table_, &o)) {
        ++skipped_;
        return;
    }
    rows_.push_back(std::move(o));
    if (rows_.size() >= batch_)
        Flush();
}

void StoredRowStream::Flush() {
    if (rows_.empty())
        return;
    deliver_(rows_);
    rows_.clear();
}

json StoredRowStream::ParseMessage(const std::string& text, const Find& find) {
    // Where the parser is, as far as it matters: {"id": ID, "result": [{"rows": [ROW, ...]}]}.
    // The depths are nlohmann's: the message is 0, its members 1, the result's elements 2, their
    // members 3, the rows 4.
    StoredRowStream* stream = nullptr;
    bool idNext = false;
    bool inResult = false;
    int resultElements = 0;
    bool rowsNext = false;
    bool inRows = false;
    auto filter = [&](int depth, json::parse_event_t event, json& parsed) -> bool {
        using Event = json::parse_event_t;
        switch (depth) {
            case 1:
                if (event == Event::key) {
                    idNext = parsed == "id";
                    inResult = parsed == "result";
                    resultElements = 0;
                } else if (event == Event::value && idNext) {
                    stream = find(parsed);
                    idNext = false;
                }
                break;
            case 2:
                if (inResult && (event == Event::object_start || event == Event::array_start ||
                                 event == Event::value))
                    ++resultElements;
                break;
            case 3:
                if (event == Event::key) {
                    rowsNext = inResult && resultElements == 1 && parsed == "rows";
                } else if (event == Event::array_start) {
                    inRows = rowsNext && stream != nullptr;
                } else if (event == Event::array_end) {
                    inRows = false;
                }
                break;
            case 4:
                // A row is complete: an object's or array's end, or a value of its own.
                if (inRows && (event == Event::object_end || event == Event::array_end ||
                               event == Event::value)) {
                    stream->AddRow(parsed);
                    return false;
                }
                break;
            default:
                break;
        }
        return true;
    };
    return json::parse(text.begin(), text.end(), filter);
}

}  // namespace ozy::cairndb
