#include "platform/cairndb/StoredRowStream.h"

#include <utility>

#include <nlohmann/json.hpp>

#include "platform/cairndb/JsonSaxRouter.h"
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

void StoredRowStream::AddRows(const std::string& text) {
    const json rows = json::parse(text);
    for (const json& row : rows)
        AddRow(row);
}

void StoredRowStream::Flush() {
    if (rows_.empty())
        return;
    deliver_(rows_);
    rows_.clear();
}

namespace {

// Builds the parsed message as json::parse does, except that each row of a streamed select result
// goes to its stream as soon as it is complete, built apart, and never joins the message. Where
// the parser is, as far as it matters: {"id": ID, "result": [{"rows": [ROW, ...]}]}; `open_`
// counts the message's containers open around it: 1 inside the message, 2 inside the result, 3
// inside its first element, 4 inside the rows. (nlohmann's filtering parser is not used: after
// every object it walks the enclosing object's members, which makes a large monitor reply that
// arrives while a read is streamed cost the square of its rows.)
class StreamedReplySax : public JsonSaxRouter<StreamedReplySax> {
    friend class JsonSaxRouter<StreamedReplySax>;

  public:
    StreamedReplySax(json* message, const StoredRowStream::Find& find)
        : JsonSaxRouter(message), find_(find) {}

    // Whether the next value is a row of the streamed result.
    bool TakesRow() const { return inRows_ && open_ == 4; }

  private:
    bool Key(json::string_t& k) {
        if (open_ == 1) {
            idNext_ = k == "id";
            inResult_ = k == "result";
            resultElements_ = 0;
        } else if (open_ == 3) {
            rowsNext_ = inResult_ && resultElements_ == 1 && k == "rows";
        }
        return message_.key(k);
    }
    bool StartObject(std::size_t len) {
        if (TakesRow())
            return StartApart().start_object(len);
        Opening();
        return message_.start_object(len);
    }
    bool StartArray(std::size_t len) {
        if (TakesRow())
            return StartApart().start_array(len);
        if (open_ == 3)
            inRows_ = rowsNext_ && stream_ != nullptr;
        Opening();
        return message_.start_array(len);
    }
    bool EndObject() {
        --open_;
        return message_.end_object();
    }
    bool EndArray() {
        if (--open_ == 3)
            inRows_ = false;
        return message_.end_array();
    }
    void Complete(const json& row) { stream_->AddRow(row); }

    // A container of the message opens.
    void Opening() {
        if (open_ == 2 && inResult_)
            ++resultElements_;
        ++open_;
    }
    // A value of its own, not a container: a row, or part of the message.
    template <typename T, typename Add>
    bool Value(const T& v, Add add) {
        if (TakesRow()) {
            stream_->AddRow(json(v));
            return true;
        }
        if (open_ == 1 && idNext_) {
            stream_ = find_(json(v));
            idNext_ = false;
        } else if (open_ == 2 && inResult_) {
            ++resultElements_;
        }
        return add(message_);
    }

    const StoredRowStream::Find& find_;
    StoredRowStream* stream_ = nullptr;
    int open_ = 0;
    bool idNext_ = false;
    bool inResult_ = false;
    int resultElements_ = 0;
    bool rowsNext_ = false;
    bool inRows_ = false;
};

}  // namespace

bool StoredRowStream::OpensRows(std::string_view prefix) {
    json message;
    StoredRowStream probe(std::string(), 1, nullptr);
    const Find find = [&probe](const json&) { return &probe; };
    StreamedReplySax sax(&message, find);
    try {
        json::sax_parse(prefix.begin(), prefix.end(), &sax);
    } catch (const json::exception&) {
        // The prefix ends where its message goes on.
    }
    return sax.TakesRow();
}

json StoredRowStream::ParseMessage(const std::string& text, const Find& find) {
    json message;
    StreamedReplySax sax(&message, find);
    json::sax_parse(text.begin(), text.end(), &sax);
    return message;
}

}  // namespace ozy::cairndb
