#include "platform/cairndb/Endpoint.h"

#include <cctype>
#include <cstdlib>

#include "platform/cairndb/CairnDbClientInterface.h"

namespace ozy::net {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

bool ParseOne(std::string_view text, Endpoint::Remote* out, std::string* error) {
    text = Trim(text);
    if (text.rfind("tcp://", 0) == 0) {
        text.remove_prefix(6);
    } else if (text.rfind("tcp:", 0) == 0) {
        text.remove_prefix(4);
    } else {
        *error = "endpoint must start with tcp://";
        return false;
    }
    std::string_view host;
    std::string_view port;
    if (!text.empty() && text.front() == '[') {
        size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            *error = "malformed IPv6 endpoint";
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        size_t colon = text.rfind(':');
        if (colon == std::string_view::npos) {
            *error = "endpoint has no port";
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string_view::npos) {
            *error = "IPv6 hosts must be written in brackets";
            return false;
        }
    }
    if (host.empty()) {
        *error = "endpoint has no host";
        return false;
    }
    if (port.empty() || port.size() > 5) {
        *error = "bad port";
        return false;
    }
    uint32_t p = 0;
    for (char c : port) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            *error = "bad port";
            return false;
        }
        p = p * 10 + static_cast<uint32_t>(c - '0');
    }
    if (p == 0 || p > 65535) {
        *error = "port out of range";
        return false;
    }
    out->host = std::string(host);
    out->port = static_cast<uint16_t>(p);
    return true;
}

}  // namespace

Endpoint::Endpoint(std::string_view url) {
    if (auto e = Parse(url)) {
        *this = std::move(*e);
    }
}

std::optional<Endpoint> Endpoint::Parse(std::string_view url, std::string* error) {
    std::string localError;
    std::string* err = error != nullptr ? error : &localError;
    Endpoint e;
    size_t start = 0;
    while (start <= url.size()) {
        size_t comma = url.find(',', start);
        std::string_view part = url.substr(
            start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        Remote r;
        if (!ParseOne(part, &r, err)) {
            return std::nullopt;
        }
        e.remotes_.push_back(std::move(r));
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    return e;
}

std::string Endpoint::ToString() const {
    std::string out;
    for (const auto& r : remotes_) {
        if (!out.empty())
            out += ",";
        bool v6 = r.host.find(':') != std::string::npos;
        out += "tcp://" + (v6 ? "[" + r.host + "]" : r.host) + ":" + std::to_string(r.port);
    }
    return out;
}

}  // namespace ozy::net

namespace ozy::cairndb {

std::string CairndbEndpointText(const std::string& personaDefault) {
    const char* env = std::getenv("OZY_CAIRNDB_ENDPOINT");
    if (env != nullptr && *env != '\0') {
        return env;
    }
    return personaDefault;
}

}  // namespace ozy::cairndb
