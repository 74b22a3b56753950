#pragma once
// What the client's message parsers share: nlohmann's SAX events, routed either to one value being
// built apart from the message by a builder of its own (a streamed row, a row update's columns),
// which the parser gets whole once its last container closes, or to the parser, which builds the
// rest of the message with nlohmann's own builder (as json::parse does) or takes it itself.
// Internal to the client library.
#include <cstddef>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace ozy::cairndb {

// `Parser` derives from it and provides, for the events outside the value apart: Value(v, add)
// for a value of its own (`add` passes the event on to a builder), Key, StartObject, StartArray,
// EndObject, EndArray, and Complete(value) for the value apart once complete.
template <typename Parser>
class JsonSaxRouter {
  public:
    using Json = nlohmann::json;
    using Builder = nlohmann::detail::json_sax_dom_parser<Json>;

    explicit JsonSaxRouter(Json* message) : message_(*message) {}

    bool null() {
        return Route(nullptr, [](Builder& b) { return b.null(); });
    }
    bool boolean(bool v) {
        return Route(v, [&](Builder& b) { return b.boolean(v); });
    }
    bool number_integer(Json::number_integer_t v) {
        return Route(v, [&](Builder& b) { return b.number_integer(v); });
    }
    bool number_unsigned(Json::number_unsigned_t v) {
        return Route(v, [&](Builder& b) { return b.number_unsigned(v); });
    }
    bool number_float(Json::number_float_t v, const Json::string_t& text) {
        return Route(v, [&](Builder& b) { return b.number_float(v, text); });
    }
    bool string(Json::string_t& v) {
        return Route(v, [&](Builder& b) { return b.string(v); });
    }
    bool binary(Json::binary_t& v) {
        return Route(v, [&](Builder& b) { return b.binary(v); });
    }

    bool key(Json::string_t& k) {
        if (apart_)
            return apart_->key(k);
        return self().Key(k);
    }
    bool start_object(std::size_t len) {
        if (apart_) {
            ++apartOpen_;
            return apart_->start_object(len);
        }
        return self().StartObject(len);
    }
    bool start_array(std::size_t len) {
        if (apart_) {
            ++apartOpen_;
            return apart_->start_array(len);
        }
        return self().StartArray(len);
    }
    bool end_object() {
        if (apart_)
            return apart_->end_object() && ApartClosed();
        return self().EndObject();
    }
    bool end_array() {
        if (apart_)
            return apart_->end_array() && ApartClosed();
        return self().EndArray();
    }

    template <class Exception>
    bool parse_error(std::size_t position, const std::string& token, const Exception& ex) {
        return message_.parse_error(position, token, ex);
    }

  protected:
    // Starts a value apart at its first container: the caller passes that container's event on to
    // the builder returned.
    Builder& StartApart() {
        apartValue_ = Json();
        apartOpen_ = 1;
        return apart_.emplace(apartValue_);
    }

    Builder message_;

  private:
    Parser& self() { return static_cast<Parser&>(*this); }

    template <typename T, typename Add>
    bool Route(const T& v, Add add) {
        if (apart_)
            return add(*apart_);
        return self().Value(v, add);
    }
    bool ApartClosed() {
        if (--apartOpen_ == 0) {
            apart_.reset();
            self().Complete(apartValue_);
            apartValue_ = Json();
        }
        return true;
    }

    // The value being built apart and its containers open.
    std::optional<Builder> apart_;
    Json apartValue_;
    int apartOpen_ = 0;
};

}  // namespace ozy::cairndb
