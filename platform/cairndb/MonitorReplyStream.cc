#include "platform/cairndb/MonitorReplyStream.h"

#include <algorithm>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/cairndb/JsonSaxRouter.h"

namespace ozy::cairndb {

using nlohmann::json;

void MonitorReplyStream::Clear() {
    taken_ = false;
    isObject_ = true;
    tables_.clear();
}

size_t MonitorReplyStream::RowCount() const {
    size_t n = 0;
    for (const auto& [name, table] : tables_)
        n += table.rows.size();
    return n;
}

void MonitorReplyStream::Start() {
    Clear();
    taken_ = true;
}

MonitorReplyStream::Table& MonitorReplyStream::BeginTable(const std::string& name, bool isObject) {
    Table& t = tables_[name];
    t = Table();
    t.isObject = isObject;
    return t;
}

void MonitorReplyStream::EndTable(Table* t) {
    // Parsed JSON keeps an object's members by name, a repeated one with its last value.
    std::stable_sort(t->rows.begin(), t->rows.end(),
                     [](const Row& a, const Row& b) { return a.uuid < b.uuid; });
    auto out = t->rows.begin();
    for (auto r = t->rows.begin(); r != t->rows.end(); ++r) {
        if (std::next(r) != t->rows.end() && std::next(r)->uuid == r->uuid)
            continue;
        if (out != r)
            *out = std::move(*r);
        ++out;
    }
    t->rows.erase(out, t->rows.end());
}

void MonitorReplyStream::SetColumns(const json& columns, Row* row) {
    MonitorReplica::Columns c;
    row->why.clear();
    row->decoded = MonitorReplica::DecodeRowColumns(columns, &c, &row->why);
    row->columns =
        row->decoded ? MonitorReplica::PackedColumns(c) : MonitorReplica::PackedColumns();
}

void MonitorReplyStream::Collect(const json& tableUpdates) {
    Start();
    if (!tableUpdates.is_object()) {
        isObject_ = false;
        return;
    }
    for (auto tu = tableUpdates.begin(); tu != tableUpdates.end(); ++tu) {
        Table& t = BeginTable(tu.key(), tu->is_object());
        if (!t.isObject)
            continue;
        t.rows.reserve(tu->size());
        for (auto r = tu->begin(); r != tu->end(); ++r) {
            Row& row = t.rows.emplace_back();
            row.uuid = r.key();
            if (!r->is_object() || r->size() != 1) {
                row.malformed = true;
                continue;
            }
            row.kind = r->begin().key();
            SetColumns(r->begin().value(), &row);
        }
    }
}

namespace {

// Builds the parsed message as json::parse does (nlohmann's own DOM builder), except that the
// result of a monitor request's reply goes to its stream as it is parsed, each row update's value
// built by a builder of its own and decoded once complete, and joins the message as null. Where
// the parser is in the message, {"id": ID, "result": {TABLE: {UUID: {KIND: COLUMNS}}}}: `open_`
// counts the message's containers open around it (1 inside the message); inside the result,
// `depth_` is 1 inside the result, 2 inside a table, 3 inside a row update. A value that is not
// an object where one is expected is skipped (`skip_` counts its containers open): the stream
// notes the fault.
class MonitorReplySax : public JsonSaxRouter<MonitorReplySax> {
    friend class JsonSaxRouter<MonitorReplySax>;

  public:
    MonitorReplySax(json* message, const MonitorReplyStream::Find& find)
        : JsonSaxRouter(message), find_(find) {}

    MonitorReplyStream* taker() const { return taker_; }

  private:
    bool Key(json::string_t& k) {
        if (skip_ > 0)
            return true;
        switch (depth_) {
            case 0:
                break;
            case 1:
                tableName_ = k;
                return true;
            case 2:
                uuid_ = k;
                return true;
            default:
                if (members_++ == 0) {
                    row_.kind = k;
                } else if (k != row_.kind) {
                    row_.malformed = true;
                }
                return true;
        }
        if (open_ == 1) {
            idNext_ = k == "id";
            resultNext_ = k == "result" && stream_ != nullptr;
            // A repeated result replaces the one before.
            if (k == "result" && taker_ != nullptr) {
                taker_->Clear();
                taker_ = nullptr;
            }
        }
        return message_.key(k);
    }

    bool StartObject(std::size_t len) { return Start(true, len); }
    bool StartArray(std::size_t len) { return Start(false, len); }
    // A container opens: skipped, inside the result, the result itself, or in the message.
    bool Start(bool isObject, std::size_t len) {
        if (skip_ > 0) {
            ++skip_;
            return true;
        }
        if (depth_ > 0)
            return Open(isObject, len);
        if (std::exchange(resultNext_, false) && isObject) {
            taker_ = stream_;
            taker_->Start();
            depth_ = 1;
            return true;
        }
        ++open_;
        return isObject ? message_.start_object(len) : message_.start_array(len);
    }
    bool EndObject() {
        if (skip_ > 0) {
            --skip_;
            return true;
        }
        switch (depth_) {
            case 0:
                --open_;
                return message_.end_object();
            case 1:
                depth_ = 0;
                return message_.null();
            case 2:
                MonitorReplyStream::EndTable(table_);
                depth_ = 1;
                return true;
            default:
                if (members_ == 0)
                    row_.malformed = true;
                AddRow();
                depth_ = 2;
                return true;
        }
    }
    bool EndArray() {
        if (skip_ > 0) {
            --skip_;
            return true;
        }
        --open_;
        return message_.end_array();
    }

    // A container opens inside the result.
    bool Open(bool isObject, std::size_t len) {
        switch (depth_) {
            case 1:
                table_ = &taker_->BeginTable(tableName_, isObject);
                return Enter(isObject);
            case 2:
                row_ = MonitorReplyStream::Row();
                row_.uuid = std::move(uuid_);
                members_ = 0;
                if (!isObject) {
                    row_.malformed = true;
                    AddRow();
                }
                return Enter(isObject);
            default: {
                Builder& b = StartApart();
                return isObject ? b.start_object(len) : b.start_array(len);
            }
        }
    }
    // Into an object expected, or past a container that should have been one.
    bool Enter(bool isObject) {
        if (isObject) {
            ++depth_;
        } else {
            skip_ = 1;
        }
        return true;
    }
    // A row update's value, built apart, is complete.
    void Complete(const json& columns) { MonitorReplyStream::SetColumns(columns, &row_); }
    void AddRow() { table_->rows.push_back(std::move(row_)); }

    // A value of its own, not a container: to the result (where an object was expected, or a row
    // update's value), or to the message.
    template <typename T, typename Add>
    bool Value(const T& v, Add add) {
        if (skip_ > 0)
            return true;
        switch (depth_) {
            case 0:
                break;
            case 1:
                taker_->BeginTable(tableName_, false);
                return true;
            case 2:
                row_ = MonitorReplyStream::Row();
                row_.uuid = std::move(uuid_);
                row_.malformed = true;
                AddRow();
                return true;
            default:
                MonitorReplyStream::SetColumns(json(v), &row_);
                return true;
        }
        resultNext_ = false;
        if (open_ == 1 && idNext_) {
            stream_ = find_(json(v));
            idNext_ = false;
        }
        return add(message_);
    }

    const MonitorReplyStream::Find& find_;
    MonitorReplyStream* stream_ = nullptr;  // the stream of the message's id
    MonitorReplyStream* taker_ = nullptr;   // the stream the result went to
    int open_ = 0;
    bool idNext_ = false;
    bool resultNext_ = false;
    int depth_ = 0;
    int skip_ = 0;
    std::string tableName_;
    MonitorReplyStream::Table* table_ = nullptr;
    std::string uuid_;
    MonitorReplyStream::Row row_;
    int members_ = 0;
};

}  // namespace

json MonitorReplyStream::ParseMessage(const std::string& text, const Find& find,
                                      MonitorReplyStream** taker) {
    json message;
    MonitorReplySax sax(&message, find);
    *taker = nullptr;
    try {
        json::sax_parse(text.begin(), text.end(), &sax);
    } catch (...) {
        // Nothing of a message that does not parse is kept.
        if (sax.taker() != nullptr)
            sax.taker()->Clear();
        throw;
    }
    *taker = sax.taker();
    return message;
}

}  // namespace ozy::cairndb
