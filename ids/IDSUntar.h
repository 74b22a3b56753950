#pragma once
// The tar reader of the signature store: unpacks a gzip-compressed tar (signature bundle,
// threshold archive) received from the configuration database into a directory of the IDS
// configuration tree.
//
// The archive is untrusted. It is read as a stream: gzip output (bounded, see IDSGzip) is cut into
// 512-byte header blocks and entry data that goes straight to its file, so nothing is allocated
// from a size field and nothing waits for the whole archive. Every entry name, whether it comes
// from the header's name, the ustar prefix, a GNU long name ('L') or a pax "path", is split into
// components: absolute names and any ".." component refuse the archive, the joined path must lie
// under the base directory (checked with a trailing separator), and every file and directory is
// opened relative to its parent with O_NOFOLLOW. Links, devices, FIFOs and unknown types are
// skipped together with their data blocks, and a later entry that would pass through a skipped
// link's name refuses the archive. Bad checksums, bad or oversized size fields, data beyond the
// end of the stream and a missing end-of-archive block refuse it too.
//
// Install() stages: the archive is unpacked into a fresh sibling directory, and only when it has
// unpacked completely does it replace the target (the old content stays until then). Failures
// are logged with "errorCode:IDSERR_UNTAR" or "errorCode:IDSERR_SIG_GZ_DECOMPRESS". Any thread;
// one call at a time per target directory.
#include <cstdint>
#include <string>
#include <string_view>

namespace CfgAgent {

enum class IDSUntarStatus {
    kOk,
    kBadArchive,  // IDSERR_UNTAR: malformed or hostile tar, or a file that could not be written
    kBadGzip,     // IDSERR_SIG_GZ_DECOMPRESS: not gzip, corrupt, or over the output bound
};

// "IDSERR_UNTAR", "IDSERR_SIG_GZ_DECOMPRESS", or "" for kOk.
const char* IDSUntarErrorCode(IDSUntarStatus status);

class IDSUntar {
  public:
    static constexpr uint64_t kDefaultMaxInflatedBytes = 512ull << 20;

    explicit IDSUntar(uint64_t maxInflatedBytes = kDefaultMaxInflatedBytes)
        : maxInflated_(maxInflatedBytes) {}

    // Unpacks gzip-compressed tar `gz` into the existing directory `baseDir`. On failure part of
    // the archive may have been written there: use Install() for anything the engine reads.
    IDSUntarStatus ExtractTgz(std::string_view gz, const std::string& baseDir) const;
    // Unpacks an uncompressed tar stream into the existing directory `baseDir`.
    IDSUntarStatus ExtractTar(std::string_view tar, const std::string& baseDir) const;

    // Makes `targetDir` hold exactly the archive's content, plus the archive itself as
    // `archiveName` when that is not empty. The parent of `targetDir` must exist. On failure
    // `targetDir` is left as it was and nothing else remains.
    IDSUntarStatus Install(std::string_view gz, const std::string& targetDir,
                           const std::string& archiveName) const;

    uint64_t maxInflatedBytes() const { return maxInflated_; }

  private:
    uint64_t maxInflated_;
};

}  // namespace CfgAgent
