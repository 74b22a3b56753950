#include "ids/IDSSignature.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

#include "ids/IDSGzip.h"
#include "ids/IDSProfile.h"
#include "ids/IDSUntar.h"
#include "ids/IdsLog.h"

namespace CfgAgent {

namespace fs = std::filesystem;

namespace {

constexpr const char* kRulePlaceholder =
    "# Empty, to be rewritten once signature tgz bundle is received\n";
constexpr const char* kYamlPlaceholder =
    "# Empty file added for backward compatibility,\n"
    "# to be overwritten during tgz decompression of curated signature bundle.\n";

bool ReadFile(const std::string& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    *out = ss.str();
    return static_cast<bool>(in) || in.eof();
}

bool CommentedOut(const std::string& rule) {
    size_t first = rule.find_first_not_of(" \t");
    return first != std::string::npos && rule[first] == '#';
}

}  // namespace

bool IDSSignature::WriteFileAtomically(const std::string& path, std::string_view content) {
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    for (size_t off = 0; ok && off < content.size();) {
        ssize_t n = ::write(fd, content.data() + off, content.size() - off);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        off += ok ? static_cast<size_t>(n) : 0;
    }
    if (fd >= 0 && ::close(fd) != 0) {
        ok = false;
    }
    if (ok && std::rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
    }
    if (!ok) {
        IDS_ERROR_CODE("IDSERR_INTERNAL", "ids: IDSSignature:: Cannot write %1: %2", path,
                       std::strerror(errno));
        ::unlink(tmp.c_str());
    }
    return ok;
}

bool IDSSignature::WritePlaceholders() {
    struct File {
        std::string path;
        const char* text;
    };
    for (const File& f : {File{dirs_.ruleFile, kRulePlaceholder},
                          File{dirs_.confDir + "/ozy-idps.addrs.yaml", kYamlPlaceholder},
                          File{dirs_.confDir + "/ozy-idps.ports.yaml", kYamlPlaceholder}}) {
        std::error_code ec;
        if (fs::exists(f.path, ec)) {
            IDS_DEBUG("ids: IDSSignature:: File %1 exists, do nothing", f.path);
            continue;
        }
        fs::create_directories(fs::path(f.path).parent_path(), ec);
        if (!WriteFileAtomically(f.path, f.text)) {
            return false;
        }
        IDS_INFO("ids: IDSSignature:: File %1 created successfully", f.path);
    }
    return true;
}

bool IDSSignature::Initialize(const Dirs& dirs) {
    dirs_ = dirs;
    for (const std::string& d : {dirs_.confDir, dirs_.confDir + "/bundles",
                                 dirs_.confDir + "/bundles/system", dirs_.dumpDir}) {
        std::error_code ec;
        if (d.empty() || fs::is_directory(d, ec)) {
            continue;
        }
        if (!fs::create_directories(d, ec) && !fs::is_directory(d)) {
            IDS_ERROR_CODE("IDSERR_INTERNAL", "ids: Couldn't create dir: %1", d);
            return false;
        }
    }
    return WritePlaceholders();
}

bool IDSSignature::StoreSystemBundle(std::string_view gz) {
    const std::string dir = dirs_.confDir + "/bundles/system";
    IDSUntarStatus st = IDSUntar(dirs_.maxInflatedBytes).Install(gz, dir, "signatures.tgz");
    if (st != IDSUntarStatus::kOk) {
        CFG_LOG_AT(g_idsLogLevel, kLogError, {std::string("errorCode:") + IDSUntarErrorCode(st)},
                   "ids: IDSSignature:: Error in decompressing tgz bundle at path : %1", dir);
        return false;
    }
    IDS_INFO("ids: IDSSignature:: targz written successfully at path %1", dir + "/signatures.tgz");
    IDS_INFO("ids: IDSSignature:: tgz decompress success at path: %1", dir);
    return WritePlaceholders();
}

bool IDSSignature::StoreCustomBundle(const std::string& id, std::string_view gz) {
    if (!IDSProfile::SafeName(id)) {
        IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSSignature:: Refusing custom bundle id %1", id);
        return false;
    }
    const std::string dir = dirs_.confDir + "/bundles/custom_" + id;
    IDSUntarStatus st = IDSUntar(dirs_.maxInflatedBytes).Install(gz, dir, "signatures.tgz");
    if (st != IDSUntarStatus::kOk) {
        CFG_LOG_AT(g_idsLogLevel, kLogError, {std::string("errorCode:") + IDSUntarErrorCode(st)},
                   "ids: IDSSignature:: Error in decompressing tgz bundle at path : %1", dir);
        return false;
    }
    IDS_INFO("ids: IDSSignature:: tgz decompress success at path: %1", dir);
    return true;
}

bool IDSSignature::RemoveCustomBundle(const std::string& id) {
    if (!IDSProfile::SafeName(id)) {
        IDS_ERROR_CODE("IDSERR_INTERNAL", "ids: IDSSignature:: Refusing custom bundle id %1", id);
        return false;
    }
    const std::string dir = dirs_.confDir + "/bundles/custom_" + id;
    std::error_code ec;
    fs::remove_all(dir, ec);
    if (ec) {
        IDS_ERROR_CODE("IDSERR_INTERNAL", "ids: IDSSignature:: Cannot remove %1: %2", dir,
                       ec.message());
        return false;
    }
    IDS_INFO("ids: IDSSignature:: Custom sigs directory %1 successfully removed", dir);
    return true;
}

bool IDSSignature::RemoveCustomBundlesExcept(const std::set<std::string>& keep) {
    constexpr std::string_view kPrefix = "custom_";
    std::vector<std::string> gone;
    std::error_code ec;
    for (fs::directory_iterator it(dirs_.confDir + "/bundles", ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.compare(0, kPrefix.size(), kPrefix) == 0 &&
            keep.count(name.substr(kPrefix.size())) == 0) {
            gone.push_back(name.substr(kPrefix.size()));
        }
    }
    if (ec) {
        IDS_ERROR_CODE("IDSERR_INTERNAL", "ids: IDSSignature:: Cannot list %1: %2",
                       dirs_.confDir + "/bundles", ec.message());
        return false;
    }
    bool ok = true;
    for (const std::string& id : gone) {
        ok = RemoveCustomBundle(id) && ok;
    }
    return ok;
}

bool IDSSignature::StoreThresholds(std::string_view gz) {
    const std::string dir = dirs_.confDir + "/thresholds";
    IDSUntarStatus st = IDSUntar(dirs_.maxInflatedBytes).Install(gz, dir, "");
    std::string config;
    if (st == IDSUntarStatus::kOk && !ReadFile(dir + "/threshold.config", &config)) {
        IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSSignature:: threshold archive without %1",
                       "threshold.config");
        return false;
    }
    if (st != IDSUntarStatus::kOk) {
        CFG_LOG_AT(g_idsLogLevel, kLogError, {std::string("errorCode:") + IDSUntarErrorCode(st)},
                   "ids: IDSSignature:: Error in decompressing tgz bundle at path : %1", dir);
        return false;
    }
    if (!WriteFileAtomically(dirs_.confDir + "/thresholds.tgz", gz) ||
        !WriteFileAtomically(dirs_.confDir + "/threshold.config", config)) {
        return false;
    }
    IDS_INFO("ids: IDSSignature:: threshold tgz decompress success");
    return true;
}

bool IDSSignature::ClearThresholds() {
    if (!WriteFileAtomically(dirs_.confDir + "/threshold.config", "")) {
        IDS_ERROR_CODE("IDSERR_INTERNAL", "ids: Unable to open threshold config file %1",
                       dirs_.confDir + "/threshold.config");
        return false;
    }
    IDS_INFO("ids: IDSSignature:: threshold config clear success");
    return true;
}

bool IDSSignature::StoreClassification(std::string_view gz) {
    std::string text;
    if (IDSGzip::InflateToString(gz, dirs_.maxInflatedBytes, &text) != IDSGzip::Result::kOk) {
        return false;
    }
    return WriteFileAtomically(dirs_.confDir + "/classification.config", text);
}

bool IDSSignature::StoreSignatureList(std::string_view gz) {
    std::string text;
    if (IDSGzip::InflateToString(gz, dirs_.maxInflatedBytes, &text) != IDSGzip::Result::kOk) {
        return false;
    }
    return ParseSignatureJSON(text);
}

bool IDSSignature::DumpSignatures() const {
    if (dirs_.dumpDir.empty()) {
        IDS_WARN("ids: _sigDumpDir in config null, not dumping sigs");
        return false;
    }
    std::string text;
    for (const auto& [sid, rule] : signatures_) {
        text += std::to_string(sid) + " " + rule + "\n";
    }
    if (!WriteFileAtomically(dirs_.dumpDir + "/dump_ids_sigs.txt", text)) {
        return false;
    }
    IDS_INFO("ids: IDSSignature:: Signature dumps stored successfully");
    return true;
}

bool IDSSignature::SidOf(std::string_view rule, uint64_t* sid) {
    for (size_t pos = rule.find("sid:"); pos != std::string_view::npos;
         pos = rule.find("sid:", pos + 4)) {
        // The option itself: at the start, or after ';', '(' or a space (not "gid:"-like words).
        char before = pos == 0 ? ' ' : rule[pos - 1];
        if (before != ' ' && before != ';' && before != '(' && before != '\t') {
            continue;
        }
        size_t d = pos + 4;
        while (d < rule.size() && rule[d] == ' ') {
            ++d;
        }
        uint64_t v = 0;
        size_t digits = 0;
        for (; d < rule.size() && rule[d] >= '0' && rule[d] <= '9'; ++d, ++digits) {
            if (digits == 19) {
                return false;
            }
            v = v * 10 + static_cast<uint64_t>(rule[d] - '0');
        }
        if (digits == 0) {
            return false;
        }
        *sid = v;
        return true;
    }
    return false;
}

bool IDSSignature::ParseSignatureJSON(std::string_view json) {
    const char* fn = "ParseSignatureJSON";
    auto list = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
    if (list.is_discarded() || !list.is_array()) {
        IDS_ERROR_CODE("IDSERR_FAIL_PARSE_CAIRNDB",
                       "ids: IDSSignature::Invalid JSON signature list received");
        return false;
    }
    IDS_INFO("ids: IDSSignature::%1: Total sigs in input json str: %2", fn, list.size());
    for (const auto& entry : list) {
        const nlohmann::json* text = nullptr;
        if (entry.is_object()) {
            auto it = entry.find("signature");
            if (it != entry.end() && it->is_string()) {
                text = &*it;
            }
        }
        uint64_t sid = 0;
        if (text == nullptr || !SidOf(text->get_ref<const std::string&>(), &sid)) {
            IDS_WARN("ids: IDSSignature::%1: Unable to parse sign: %2", fn,
                     entry.dump().substr(0, 200));
            continue;
        }
        std::string& kept = signatures_[sid];
        commentedOut_ -= CommentedOut(kept) ? 1 : 0;  // a signature sent again counts once
        kept = text->get_ref<const std::string&>();
        commentedOut_ += CommentedOut(kept) ? 1 : 0;
    }
    IDS_INFO(
        "ids: IDSSignature::%1: New signature data stored successfully, total sign count: %2, "
        "total commented out sigs: %3",
        fn, signatures_.size(), commentedOut_);
    return true;
}

}  // namespace CfgAgent
