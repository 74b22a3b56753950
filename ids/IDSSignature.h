#pragma once
// IDSSignature: the signature store. It writes what the engine reads under the configuration
// directory: the curated bundle (bundles/system), custom bundles (bundles/custom_<id>), the
// threshold configuration (threshold.config) and the classification (classification.config), and
// keeps the signature map read from the JSON signature lists of the configuration database.
//
// Bundles are installed by IDSUntar::Install: unpacked beside the old one and swapped in only once
// complete, so a bad bundle leaves the previous one for the engine. Single files are written to a
// temporary name and renamed. Custom bundle ids become directory names: an id with "/", "..", or
// NUL is refused. Every failure is logged with its code and returns false.
//
// A list is a JSON array of objects whose member "signature" is the rule text; the signature id
// is the rule's "sid:" option. Entries commented out ("#" first) are counted apart and kept; an
// entry without a readable sid is logged and skipped. A list that is not such an array (or not
// JSON) changes nothing. Not thread-safe: the owner serialises access.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

namespace CfgAgent {

class IDSSignature {
  public:
    struct Dirs {
        std::string confDir;  // host paths
        std::string ruleFile;
        std::string dumpDir;  // empty: no signature dumps
        uint64_t maxInflatedBytes = 512ull << 20;
    };

    // Creates the directories and the placeholder files the engine expects.
    bool Initialize(const Dirs& dirs);
    bool StoreSystemBundle(std::string_view gz);
    bool StoreCustomBundle(const std::string& id, std::string_view gz);
    bool RemoveCustomBundle(const std::string& id);
    // Removes every custom bundle directory whose id `keep` does not hold, those an earlier run
    // left on disk included; false (logged) when one cannot be removed.
    bool RemoveCustomBundlesExcept(const std::set<std::string>& keep);
    bool StoreThresholds(std::string_view gz);
    bool ClearThresholds();
    bool StoreClassification(std::string_view gz);
    // A gzip-compressed JSON list (ParseSignatureJSON).
    bool StoreSignatureList(std::string_view gz);
    // Writes the signature map to "dump_ids_sigs.txt" under the dump directory.
    bool DumpSignatures() const;
    const Dirs& dirs() const { return dirs_; }

    // Adds the list's signatures (replacing those with the same id); false for a malformed list.
    bool ParseSignatureJSON(std::string_view json);
    // The id of a rule's "sid:" option; false when it has none.
    static bool SidOf(std::string_view rule, uint64_t* sid);

    const std::map<uint64_t, std::string>& signatures() const { return signatures_; }
    size_t commentedOut() const { return commentedOut_; }

  private:
    bool WritePlaceholders();
    static bool WriteFileAtomically(const std::string& path, std::string_view content);

    Dirs dirs_;
    std::map<uint64_t, std::string> signatures_;
    size_t commentedOut_ = 0;
};

}  // namespace CfgAgent
