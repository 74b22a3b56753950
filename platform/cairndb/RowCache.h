#pragma once
// The rows a client last wrote with patches, as it wrote them: the row UUID, the body and the
// body and op columns. A row that keeps growing by patches (the learned entries of a switch) is
// then not read back before each write: the write starts from the kept body and asserts (OVSDB
// "wait") that the row still holds exactly the kept columns. OVSDB gives a modified row its new
// `_version` only when the transaction commits, and no operation of that transaction returns it,
// so the kept row is checked by its columns and not by its version. When another writer changed
// the row the assertion fails the transaction as a whole; the writer forgets the kept rows and
// writes again from what it reads.
//
// A kept row also knows its lists' lengths and the last field its body holds, so that the next
// write appends new entries of a list at or after that field to the body's bytes (the order its
// serialization writes) and derives the op column from the lengths, without parsing the row.
//
// Bounded by the bytes it keeps: a row that would pass the bound is not kept (and read again the
// next time). Internal to the client library; runs on the client's strand only.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace ozy::cairndb {

class RowCache {
  public:
    static constexpr size_t kDefaultMaxBytes = size_t{256} << 20;

    struct Row {
        std::string uuid;
        std::string body;      // serialized body
        std::string bodyText;  // the body column as written (base64)
        std::string opText;    // the op column as written (base64)
        // The body's lists' lengths by field index, and the number of the last field it holds
        // (0 for none); `sizes` empty when not known (the row is parsed by its next write).
        std::vector<int> sizes;
        int lastField = 0;

        Row();
        Row(std::string uuid, std::string body, std::string bodyText, std::string opText,
            std::vector<int> sizes = {}, int lastField = 0);
        Row(Row&&) noexcept;
        Row& operator=(Row&&) noexcept;
        ~Row();
    };

    explicit RowCache(size_t maxBytes = kDefaultMaxBytes) : maxBytes_(maxBytes) {}

    // The row as this client wrote it last; null when not kept.
    const Row* Find(int type, uint32_t vdb, const std::string& oid) const;
    // Keeps `row` as the row's content, replacing what was kept; forgets the row instead when
    // keeping it would pass the bound.
    void Put(int type, uint32_t vdb, const std::string& oid, Row row);
    // Moves the kept row out into `row` (it is no longer kept); false when none is kept.
    bool Take(int type, uint32_t vdb, const std::string& oid, Row* row);
    void Erase(int type, uint32_t vdb, const std::string& oid);
    void Clear();
    size_t size() const { return rows_.size(); }
    size_t Bytes() const { return bytes_; }

  private:
    using Key = std::tuple<int, uint32_t, std::string>;
    static size_t BytesOf(const Key& k, const Row& r);

    const size_t maxBytes_;
    std::map<Key, Row> rows_;
    size_t bytes_ = 0;
};

}  // namespace ozy::cairndb
