#pragma once
// The archives of the tar reader's tests (made by HostileArchives.py with GNU tar and python's
// tarfile), bundles made by GNU tar, and a snapshot of a directory tree to show what changed on
// disk.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace CfgAgent::test {

struct ArchiveCase {
    std::string name;
    std::string archive;  // path of the archive file
    std::string expect;   // "ok" or the error code
    std::map<std::string, std::string> files;
    uint64_t cap = 0;  // gzip output bound for the case; 0: the default
    bool raw = false;  // uncompressed tar
};

// Runs the generator into `dir` and reads its manifest.
std::vector<ArchiveCase> MakeArchiveCases(const std::string& dir);

// Every entry under `root` (relative path to "d", "l:<target>" or "f:<content>"), links not
// followed; entries under `skip` (relative) are left out.
std::map<std::string, std::string> TreeSnapshot(const std::string& root,
                                                const std::string& skip = "");

std::string ReadBinary(const std::string& path);

// `data` gzip-compressed by zlib (one member).
std::string Gzip(const std::string& data);

// A gzip-compressed tar made by GNU tar of {relative path: content}.
std::string Tgz(const std::map<std::string, std::string>& files);

}  // namespace CfgAgent::test
