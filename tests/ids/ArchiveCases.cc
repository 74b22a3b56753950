#include "tests/ids/ArchiveCases.h"

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include <zlib.h>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnv.h"

namespace CfgAgent::test {

namespace fs = std::filesystem;

std::vector<ArchiveCase> MakeArchiveCases(const std::string& dir) {
    RunResult r =
        RunProgram("/usr/bin/env", {"python3", SourceDir() + "/tests/ids/HostileArchives.py", dir});
    if (r.status != 0) {
        throw std::runtime_error("HostileArchives.py failed: " + r.output);
    }
    auto manifest = nlohmann::json::parse(ReadBinary(dir + "/manifest.json"));
    std::vector<ArchiveCase> cases;
    for (const auto& c : manifest) {
        ArchiveCase ac;
        ac.name = c.at("name").get<std::string>();
        ac.archive = c.at("archive").get<std::string>();
        ac.expect = c.at("expect").get<std::string>();
        ac.files = c.at("files").get<std::map<std::string, std::string>>();
        ac.cap = c.at("cap").get<uint64_t>();
        ac.raw = c.at("raw").get<bool>();
        cases.push_back(std::move(ac));
    }
    return cases;
}

std::map<std::string, std::string> TreeSnapshot(const std::string& root, const std::string& skip) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::end(it);
         it.increment(ec)) {
        std::string rel = fs::relative(it->path(), root).string();
        if (!skip.empty() && (rel == skip || rel.compare(0, skip.size() + 1, skip + "/") == 0)) {
            it.disable_recursion_pending();
            continue;
        }
        auto st = it->symlink_status();
        if (fs::is_symlink(st)) {
            out[rel] = "l:" + fs::read_symlink(it->path()).string();
        } else if (fs::is_directory(st)) {
            out[rel] = "d";
        } else {
            out[rel] = "f:" + ReadBinary(it->path().string());
        }
    }
    return out;
}

std::string Gzip(const std::string& data) {
    z_stream zs{};
    deflateInit2(&zs, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, data.size()) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

std::string Tgz(const std::map<std::string, std::string>& files) {
    TempDir src("ids-src");
    for (const auto& [path, text] : files)
        src.WriteFile(path, text);
    const std::string out = src.path() + ".tgz";
    RunResult r = RunProgram("/bin/tar", {"-czf", out, "-C", src.path(), "."});
    if (r.status != 0)
        throw std::runtime_error("tar failed: " + r.output);
    std::string gz = ReadBinary(out);
    fs::remove(out);
    return gz;
}

std::string ReadBinary(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace CfgAgent::test
