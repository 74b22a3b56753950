#include "platform/cairndb/StoredRowStream.h"

#include <optional>
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

namespace {

// Builds the parsed message as json::parse does (nlohmann's own DOM builder), except that each row
// of a streamed select result goes to its stream as soon as it is complete, built by a builder of
// its own, and never joins the message. Where the parser is, as far as it matters:
// {"id": ID, "result": [{"rows": [ROW, ...]}]}; `open_` counts the message's containers open
// around it: 1 inside the message, 2 inside the result, 3 inside its first element, 4 inside the
// rows. (nlohmann's filtering parser is not used: after every object it walks the enclosing
// object's members, which makes a large monitor reply that arrives while a read is streamed cost
// the square of its rows.)
class StreamedReplySax {
  public:
    using Builder = nlohmann::detail::json_sax_dom_parser<json>;

    StreamedReplySax(json* message, const StoredRowStream::Find& find)
        : message_(*message), find_(find) {}

    bool null() {
        return Value(nullptr, [](Builder& b) { return b.null(); });
    }
    bool boolean(bool v) {
        return Value(v, [&](Builder& b) { return b.boolean(v); });
    }
    bool number_integer(json::number_integer_t v) {
        return Value(v, [&](Builder& b) { return b.number_integer(v); });
    }
    bool number_unsigned(json::number_unsigned_t v) {
        return Value(v, [&](Builder& b) { return b.number_unsigned(v); });
    }
    bool number_float(json::number_float_t v, const json::string_t& text) {
        return Value(v, [&](Builder& b) { return b.number_float(v, text); });
    }
    bool string(json::string_t& v) {
        return Value(v, [&](Builder& b) { return b.string(v); });
    }
    bool binary(json::binary_t& v) {
        return Value(v, [&](Builder& b) { return b.binary(v); });
    }

    bool key(json::string_t& k) {
        if (Builder* b = RowBuilder())
            return b->key(k);
        if (open_ == 1) {
            idNext_ = k == "id";
            inResult_ = k == "result";
            resultElements_ = 0;
        } else if (open_ == 3) {
            rowsNext_ = inResult_ && resultElements_ == 1 && k == "rows";
        }
        return message_.key(k);
    }

    bool start_object(std::size_t len) {
        if (Builder* b = RowBuilder()) {
            ++rowOpen_;
            return b->start_object(len);
        }
        if (TakesRow())
            return StartRow().start_object(len);
        Opening();
        return message_.start_object(len);
    }
    bool start_array(std::size_t len) {
        if (Builder* b = RowBuilder()) {
            ++rowOpen_;
            return b->start_array(len);
        }
        if (TakesRow())
            return StartRow().start_array(len);
        if (open_ == 3)
            inRows_ = rowsNext_ && stream_ != nullptr;
        Opening();
        return message_.start_array(len);
    }
    bool end_object() {
        if (Builder* b = RowBuilder())
            return b->end_object() && Closing();
        --open_;
        return message_.end_object();
    }
    bool end_array() {
        if (Builder* b = RowBuilder())
            return b->end_array() && Closing();
        if (--open_ == 3)
            inRows_ = false;
        return message_.end_array();
    }

    template <class Exception>
    bool parse_error(std::size_t position, const std::string& token, const Exception& ex) {
        return message_.parse_error(position, token, ex);
    }

  private:
    Builder* RowBuilder() { return row_ ? &*row_ : nullptr; }
    // Whether the next value is a row of the streamed result.
    bool TakesRow() const { return inRows_ && open_ == 4; }

    Builder& StartRow() {
        rowValue_ = json();
        rowOpen_ = 1;
        return row_.emplace(rowValue_);
    }
    // A row's container closed; the row is handed on when it was its own.
    bool Closing() {
        if (--rowOpen_ == 0) {
            row_.reset();
            stream_->AddRow(rowValue_);
            rowValue_ = json();
        }
        return true;
    }

    // A container of the message opens.
    void Opening() {
        if (open_ == 2 && inResult_)
            ++resultElements_;
        ++open_;
    }
    // A value of its own, not a container: to the row being built, as a row, or to the message.
    template <typename T, typename Add>
    bool Value(const T& v, Add add) {
        if (Builder* b = RowBuilder())
            return add(*b);
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

    Builder message_;
    const StoredRowStream::Find& find_;
    StoredRowStream* stream_ = nullptr;
    int open_ = 0;
    bool idNext_ = false;
    bool inResult_ = false;
    int resultElements_ = 0;
    bool rowsNext_ = false;
    bool inRows_ = false;
    // The row being built and its containers open.
    std::optional<Builder> row_;
    json rowValue_;
    int rowOpen_ = 0;
};

}  // namespace

json StoredRowStream::ParseMessage(const std::string& text, const Find& find) {
    json message;
    StreamedReplySax sax(&message, find);
    json::sax_parse(text.begin(), text.end(), &sax);
    return message;
}

}  // namespace ozy::cairndb
