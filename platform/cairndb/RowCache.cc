#include "platform/cairndb/RowCache.h"

#include <utility>

namespace ozy::cairndb {

RowCache::Row::Row() = default;
RowCache::Row::Row(std::string uuid, std::string body, std::string bodyText, std::string opText,
                   std::vector<int> sizes, int lastField)
    : uuid(std::move(uuid)),
      body(std::move(body)),
      bodyText(std::move(bodyText)),
      opText(std::move(opText)),
      sizes(std::move(sizes)),
      lastField(lastField) {}
RowCache::Row::Row(Row&&) noexcept = default;
RowCache::Row& RowCache::Row::operator=(Row&&) noexcept = default;
RowCache::Row::~Row() = default;

size_t RowCache::BytesOf(const Key& k, const Row& r) {
    return std::get<2>(k).size() + r.uuid.size() + r.body.size() + r.bodyText.size() +
           r.opText.size() + r.sizes.size() * sizeof(int);
}

const RowCache::Row* RowCache::Find(int type, uint32_t vdb, const std::string& oid) const {
    auto it = rows_.find(Key{type, vdb, oid});
    return it == rows_.end() ? nullptr : &it->second;
}

void RowCache::Put(int type, uint32_t vdb, const std::string& oid, Row row) {
    Key k{type, vdb, oid};
    Erase(type, vdb, oid);
    size_t bytes = BytesOf(k, row);
    if (bytes_ + bytes > maxBytes_)
        return;
    bytes_ += bytes;
    rows_.emplace(std::move(k), std::move(row));
}

bool RowCache::Take(int type, uint32_t vdb, const std::string& oid, Row* row) {
    auto it = rows_.find(Key{type, vdb, oid});
    if (it == rows_.end())
        return false;
    bytes_ -= BytesOf(it->first, it->second);
    *row = std::move(it->second);
    rows_.erase(it);
    return true;
}

void RowCache::Erase(int type, uint32_t vdb, const std::string& oid) {
    auto it = rows_.find(Key{type, vdb, oid});
    if (it == rows_.end())
        return;
    bytes_ -= BytesOf(it->first, it->second);
    rows_.erase(it);
}

void RowCache::Clear() {
    rows_.clear();
    bytes_ = 0;
}

}  // namespace ozy::cairndb
