#pragma once
// The `_version` of rows of one cairndb table, read over a JSON-RPC session of the benchmark's own
// on the loopback port: a look costs a few hundred bytes where reading rows costs their whole
// bodies, so that watching rows that grow to megabytes does not load the database and the machine
// being measured. A version names one state of a row (the database gives a row a new one at every
// change).
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <set>
#include <string>

#include <nlohmann/json.hpp>

namespace ozy::bench {

class RowVersions {
  public:
    RowVersions(int port, std::string table) : port_(port), table_(std::move(table)) {}
    ~RowVersions() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    RowVersions(const RowVersions&) = delete;
    RowVersions& operator=(const RowVersions&) = delete;

    // "oid=version;..." of the rows of vdb 1 whose oid is in `oids`, in oid order; "" when the
    // database does not answer.
    std::string Of(const std::set<std::string>& oids) {
        nlohmann::json request = {
            {"method", "transact"},
            {"id", ++id_},
            {"params",
             {"cairndb",
              {{"op", "select"},
               {"table", table_},
               {"where", nlohmann::json::array({nlohmann::json::array({"vdb", "==", 1})})},
               {"columns", {"oid", "_version"}}}}}};
        nlohmann::json reply;
        if (!Exchange(request.dump(), &reply))
            return std::string();
        const nlohmann::json& result = reply["result"];
        if (!result.is_array() || result.empty() || !result[0].contains("rows"))
            return std::string();
        std::set<std::string> found;
        for (const auto& row : result[0]["rows"]) {
            const std::string oid = row.value("oid", "");
            if (oids.count(oid) != 0)
                found.insert(oid + "=" + row["_version"].dump());
        }
        std::string text;
        for (const auto& f : found)
            text += f + ";";
        return text;
    }

  private:
    bool Exchange(const std::string& request, nlohmann::json* reply) {
        if (fd_ < 0 && !Connect())
            return false;
        if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
            Drop();
            return false;
        }
        // Replies come one at a time: read until the bytes make one whole JSON value.
        std::string in;
        char buf[65536];
        for (;;) {
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                Drop();
                return false;
            }
            in.append(buf, static_cast<size_t>(n));
            if (nlohmann::json::accept(in)) {
                *reply = nlohmann::json::parse(in);
                if (reply->contains("method"))  // the server's echo: answer, read on
                    return Answer(*reply) && Exchange(std::string(), reply);
                return true;
            }
        }
    }

    bool Answer(const nlohmann::json& echo) {
        const std::string text = nlohmann::json{
            {"id", echo["id"]},
            {"result", echo["params"]},
            {"error", nullptr}}.dump();
        return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(text.size());
    }

    bool Connect() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port_));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            Drop();
            return false;
        }
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return true;
    }

    void Drop() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    int port_;
    std::string table_;
    int fd_ = -1;
    int id_ = 0;
};

}  // namespace ozy::bench
