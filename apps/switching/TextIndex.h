#pragma once
// An index from a text that a record holds (a logical port's DVS port or VIF id, a dataplane
// port's VIF id) to the key of that record, holding neither: the entry is a view of the record's
// own string and a pointer to the table's key, both in nodes of a node-based table (std::map)
// that stay where they are until erased. A copy of the text and of the key per entry cost two
// string blocks and two string objects; an entry here is one tree node of 56 bytes.
//
// The caller keeps the contract: the text and the key outlive their entry, and the text is not
// changed while an entry views it (release the entry first, change the text, claim again).
//
// Not thread-safe: the conversion engine's caller holds the global agent lock.
#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace CfgAgent::dvs {

class TextIndex {
  public:
    // `text` (a string of the record keyed `owner`) now leads to `owner`; an entry of the same
    // text held by another owner is replaced. An empty text is not indexed.
    void Claim(const std::string& text, const std::string& owner);
    // The owner of `text`; null when none.
    const std::string* Find(std::string_view text) const;
    // Removes the entry of `text` if `owner` holds it; true when removed.
    bool Release(std::string_view text, std::string_view owner);
    // Removes the entry of `text` whoever holds it; true when removed.
    bool Erase(std::string_view text);
    size_t size() const { return entries_.size(); }
    // Heap bytes of the entries (tree nodes, in allocator chunks).
    size_t Bytes() const;

  private:
    std::map<std::string_view, const std::string*> entries_;
};

}  // namespace CfgAgent::dvs
