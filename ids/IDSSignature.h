#pragma once
// IDSSignature: the signature store. So far it holds the signature map read from the JSON
// signature lists of the configuration database; bundle installation goes through IDSUntar.
//
// A list is a JSON array of objects whose member "signature" is the rule text; the signature id
// is the rule's "sid:" option. Entries commented out ("#" first) are counted apart and kept; an
// entry without a readable sid is logged and skipped. A list that is not such an array (or not
// JSON) changes nothing. Not thread-safe: the owner serialises access.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace CfgAgent {

class IDSSignature {
  public:
    // Adds the list's signatures (replacing those with the same id); false for a malformed list.
    bool ParseSignatureJSON(std::string_view json);
    // The id of a rule's "sid:" option; false when it has none.
    static bool SidOf(std::string_view rule, uint64_t* sid);

    const std::map<uint64_t, std::string>& signatures() const { return signatures_; }
    size_t commentedOut() const { return commentedOut_; }

  private:
    std::map<uint64_t, std::string> signatures_;
    size_t commentedOut_ = 0;
};

}  // namespace CfgAgent
