#include "ids/IDSUntar.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <vector>

#include "ids/IDSGzip.h"
#include "ids/IdsLog.h"

namespace CfgAgent {

namespace {

constexpr size_t kBlock = 512;
// Longest joined path written (PATH_MAX less the terminator); longer names refuse the archive.
constexpr size_t kMaxPath = 4095;
// Longest GNU long name and pax extended header accepted.
constexpr size_t kMaxLongName = 4096;
constexpr size_t kMaxPaxHeader = 64 * 1024;

// Header field offsets and widths (POSIX ustar).
constexpr size_t kNameOff = 0, kNameLen = 100;
constexpr size_t kSizeOff = 124, kSizeLen = 12;
constexpr size_t kChksumOff = 148, kChksumLen = 8;
constexpr size_t kTypeOff = 156;
constexpr size_t kMagicOff = 257;
constexpr size_t kPrefixOff = 345, kPrefixLen = 155;

std::string Field(const char* block, size_t off, size_t len) {
    const char* p = block + off;
    return std::string(p, strnlen(p, len));
}

// An octal number field: optional leading spaces, octal digits, then NUL or spaces to the end.
// Base-256 (high bit set), signs and any other character refuse it.
bool ParseOctal(const char* block, size_t off, size_t len, uint64_t* value) {
    const char* p = block + off;
    size_t i = 0;
    while (i < len && p[i] == ' ') {
        ++i;
    }
    uint64_t v = 0;
    size_t digits = 0;
    for (; i < len && p[i] >= '0' && p[i] <= '7'; ++i, ++digits) {
        if (v > (UINT64_MAX >> 3)) {
            return false;
        }
        v = (v << 3) | static_cast<uint64_t>(p[i] - '0');
    }
    if (digits == 0) {
        return false;
    }
    for (; i < len; ++i) {
        if (p[i] != '\0' && p[i] != ' ') {
            return false;
        }
    }
    *value = v;
    return true;
}

bool AllZero(const char* block) {
    for (size_t i = 0; i < kBlock; ++i) {
        if (block[i] != 0) {
            return false;
        }
    }
    return true;
}

uint64_t HeaderSum(const char* block) {
    uint64_t sum = 0;
    for (size_t i = 0; i < kBlock; ++i) {
        sum += (i >= kChksumOff && i < kChksumOff + kChksumLen)
                   ? static_cast<unsigned char>(' ')
                   : static_cast<unsigned char>(block[i]);
    }
    return sum;
}

// Splits an entry name into its components ("." and empty ones dropped). False for an absolute
// name, a ".." component or a NUL.
bool SplitName(const std::string& name, std::vector<std::string>* parts) {
    parts->clear();
    if (name.empty() || name.front() == '/' || name.find('\0') != std::string::npos) {
        return false;
    }
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) {
            end = name.size();
        }
        std::string part = name.substr(start, end - start);
        if (part == "..") {
            return false;
        }
        if (!part.empty() && part != ".") {
            parts->push_back(std::move(part));
        }
        start = end + 1;
    }
    return true;
}

std::string Join(const std::vector<std::string>& parts, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) {
            out += '/';
        }
        out += parts[i];
    }
    return out;
}

class FdGuard {
  public:
    explicit FdGuard(int fd = -1) : fd_(fd) {}
    ~FdGuard() { reset(); }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// The tar state machine: bytes in, entries out. Refuses the rest of the stream after a failure.
class TarStream {
  public:
    TarStream(int baseFd, std::string basePath, uint64_t maxEntry)
        : baseFd_(baseFd), basePath_(std::move(basePath)), maxEntry_(maxEntry) {}

    // Consumes `size` bytes of the tar stream; false once the archive is refused.
    bool Feed(const char* data, size_t size);
    // The stream has ended: true when the archive was complete and accepted.
    bool Finish();
    bool failed() const { return failed_; }

  private:
    enum class State { kHeader, kData, kPad, kEnd };
    enum class Sink { kDiscard, kFile, kLongName, kLongLink, kPax };

    bool Fail() {
        failed_ = true;
        file_.reset();
        return false;
    }
    bool ProcessHeader();
    bool StartEntry(char type, const std::string& name, uint64_t size);
    bool EndData();
    bool TakeLongName(std::string* out);
    bool ParsePax();
    bool Normalise(const std::string& name, std::vector<std::string>* parts);
    int OpenParent(const std::vector<std::string>& parts);
    bool MakeDir(int parentFd, const std::string& leaf, const std::string& shown);
    void SkipData(uint64_t size) { BeginData(Sink::kDiscard, size); }
    void BeginData(Sink sink, uint64_t size);

    int baseFd_;
    std::string basePath_;
    uint64_t maxEntry_;
    bool failed_ = false;
    State state_ = State::kHeader;
    char header_[kBlock];
    size_t headerFill_ = 0;
    Sink sink_ = Sink::kDiscard;
    uint64_t remaining_ = 0;
    uint64_t pad_ = 0;
    std::string meta_;  // data of a long name or pax header being read
    std::string fileName_;
    FdGuard file_;
    // Names from the metadata entries that precede the next real entry.
    bool haveLongName_ = false, haveLongLink_ = false, havePax_ = false;
    std::string longName_;
    bool havePaxPath_ = false, havePaxSize_ = false;
    std::string paxPath_;
    uint64_t paxSize_ = 0;
    // Names of skipped link entries: nothing may be written through them.
    std::set<std::string> links_;
    // The last parent directory opened, by its relative path.
    std::string parentRel_;
    FdGuard parentFd_;
};

void TarStream::BeginData(Sink sink, uint64_t size) {
    sink_ = sink;
    remaining_ = size;
    pad_ = (kBlock - size % kBlock) % kBlock;
    state_ = size > 0 ? State::kData : State::kHeader;
    if (size == 0) {
        EndData();
    }
}

bool TarStream::Feed(const char* data, size_t size) {
    while (size > 0 && !failed_) {
        switch (state_) {
            case State::kHeader: {
                size_t take = std::min(size, kBlock - headerFill_);
                std::memcpy(header_ + headerFill_, data, take);
                headerFill_ += take;
                data += take;
                size -= take;
                if (headerFill_ == kBlock) {
                    headerFill_ = 0;
                    if (!ProcessHeader()) {
                        return Fail();
                    }
                }
                break;
            }
            case State::kData: {
                size_t take = static_cast<size_t>(std::min<uint64_t>(size, remaining_));
                if (sink_ == Sink::kFile) {
                    size_t done = 0;
                    while (done < take) {
                        ssize_t n = ::write(file_.get(), data + done, take - done);
                        if (n < 0 && errno == EINTR) {
                            continue;
                        }
                        if (n <= 0) {
                            IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Failed fwrite: %1",
                                           fileName_);
                            return Fail();
                        }
                        done += static_cast<size_t>(n);
                    }
                } else if (sink_ != Sink::kDiscard) {
                    size_t cap = sink_ == Sink::kPax ? kMaxPaxHeader : kMaxLongName;
                    if (meta_.size() + take > cap) {
                        IDS_ERROR_CODE("IDSERR_UNTAR",
                                       "ids: IDSUntar: Extended header longer than %1 bytes", cap);
                        return Fail();
                    }
                    meta_.append(data, take);
                }
                data += take;
                size -= take;
                remaining_ -= take;
                if (remaining_ == 0) {
                    state_ = pad_ > 0 ? State::kPad : State::kHeader;
                    if (!EndData()) {
                        return Fail();
                    }
                }
                break;
            }
            case State::kPad: {
                size_t take = static_cast<size_t>(std::min<uint64_t>(size, pad_));
                data += take;
                size -= take;
                pad_ -= take;
                if (pad_ == 0) {
                    state_ = State::kHeader;
                }
                break;
            }
            case State::kEnd:
                // Blocks after the end marker (record padding) are not read.
                return true;
        }
    }
    return !failed_;
}

bool TarStream::Finish() {
    if (failed_) {
        return false;
    }
    if (state_ == State::kEnd) {
        return true;
    }
    if (state_ == State::kHeader && headerFill_ == 0) {
        IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Archive ends without its end block");
    } else {
        IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Short read on file: Expected %1, got %2",
                       state_ == State::kHeader ? kBlock : remaining_ + pad_,
                       state_ == State::kHeader ? headerFill_ : 0);
    }
    return Fail();
}

bool TarStream::ProcessHeader() {
    if (AllZero(header_)) {
        if (haveLongName_ || haveLongLink_ || havePax_) {
            IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Extended header without its entry");
            return false;
        }
        IDS_DEBUG("ids: IDSUntar: End of file");
        state_ = State::kEnd;
        return true;
    }
    uint64_t stored = 0;
    if (!ParseOctal(header_, kChksumOff, kChksumLen, &stored) || stored != HeaderSum(header_)) {
        IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Checksum failure");
        return false;
    }
    std::string rawName = Field(header_, kNameOff, kNameLen);
    uint64_t size = 0;
    if (!ParseOctal(header_, kSizeOff, kSizeLen, &size)) {
        IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Invalid size field for %1", rawName);
        return false;
    }
    char type = header_[kTypeOff];
    // Metadata entries describe the entry that follows.
    if (type == 'L' || type == 'K' || type == 'x') {
        bool& seen = type == 'L' ? haveLongName_ : type == 'K' ? haveLongLink_ : havePax_;
        if (seen) {
            IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Repeated extended header type %1", type);
            return false;
        }
        seen = true;
        if (size > (type == 'x' ? kMaxPaxHeader : kMaxLongName)) {
            IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Extended header longer than %1 bytes",
                           type == 'x' ? kMaxPaxHeader : kMaxLongName);
            return false;
        }
        meta_.clear();
        BeginData(type == 'L' ? Sink::kLongName : type == 'K' ? Sink::kLongLink : Sink::kPax, size);
        return !failed_;
    }
    if (type == 'g') {
        IDS_DEBUG("ids: IDSUntar: Ignoring global extended header");
        SkipData(size);
        return true;
    }
    if (havePaxSize_) {
        size = paxSize_;
    }
    if (size > maxEntry_) {
        IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Entry %1 larger than %2 bytes", rawName,
                       maxEntry_);
        return false;
    }
    std::string name;
    if (haveLongName_ && havePaxPath_) {
        IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Entry %1 named twice", rawName);
        return false;
    } else if (haveLongName_) {
        name = std::move(longName_);
    } else if (havePaxPath_) {
        name = std::move(paxPath_);
    } else {
        name = std::move(rawName);
        // POSIX ustar keeps a prefix; the GNU format ("ustar  ") uses that area for other data.
        std::string prefix = Field(header_, kPrefixOff, kPrefixLen);
        if (std::memcmp(header_ + kMagicOff, "ustar\0", 6) == 0 && !prefix.empty()) {
            name = prefix + "/" + name;
        }
    }
    haveLongName_ = haveLongLink_ = havePax_ = havePaxPath_ = havePaxSize_ = false;
    return StartEntry(type, name, size);
}

bool TarStream::Normalise(const std::string& name, std::vector<std::string>* parts) {
    if (!SplitName(name, parts)) {
        IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: get_full_path contained relative paths: %1",
                       name);
        return false;
    }
    std::string rel = Join(*parts, parts->size());
    if (basePath_.size() + 1 + rel.size() > kMaxPath) {
        IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: get_full_path too long: %1", name);
        return false;
    }
    std::string full = basePath_ + "/" + rel;
    if (full.compare(0, basePath_.size() + 1, basePath_ + "/") != 0) {
        IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: get_full_path contained relative paths: %1",
                       name);
        return false;
    }
    // Nothing is written through the name of a link the archive declared.
    for (size_t i = 1; i < parts->size(); ++i) {
        if (links_.count(Join(*parts, i)) > 0) {
            IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: %1 passes through the link %2", name,
                           Join(*parts, i));
            return false;
        }
    }
    return true;
}

bool TarStream::MakeDir(int parentFd, const std::string& leaf, const std::string& shown) {
    if (::mkdirat(parentFd, leaf.c_str(), 0755) != 0 && errno != EEXIST) {
        IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Failed to create dir %1: %2", shown,
                       std::strerror(errno));
        return false;
    }
    return true;
}

// Opens (creating as needed) the parent directory of `parts`; -1 after logging on failure.
int TarStream::OpenParent(const std::vector<std::string>& parts) {
    std::string rel = Join(parts, parts.size() - 1);
    if (rel.empty()) {
        return baseFd_;
    }
    if (parentFd_.get() >= 0 && rel == parentRel_) {
        return parentFd_.get();
    }
    parentFd_.reset();
    parentRel_.clear();
    FdGuard cur(::dup(baseFd_));
    for (size_t i = 0; i + 1 < parts.size() && cur.get() >= 0; ++i) {
        if (!MakeDir(cur.get(), parts[i], Join(parts, i + 1))) {
            return -1;
        }
        cur.reset(
            ::openat(cur.get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (cur.get() < 0) {
        IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Cannot open dir %1: %2", rel,
                       std::strerror(errno));
        return -1;
    }
    parentFd_.reset(::dup(cur.get()));
    parentRel_ = rel;
    return parentFd_.get();
}

bool TarStream::StartEntry(char type, const std::string& name, uint64_t size) {
    std::vector<std::string> parts;
    switch (type) {
        case '0':
        case '\0': {
            if (!name.empty() && name.back() == '/') {
                IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: File name %1 ends with a separator",
                               name);
                return false;
            }
            if (!Normalise(name, &parts)) {
                return false;
            }
            if (parts.empty()) {
                IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: File without a name: %1", name);
                return false;
            }
            fileName_ = Join(parts, parts.size());
            IDS_DEBUG("ids: IDSUntar: Extracting file %1, base_dir: %2, full_path: %3", name,
                      basePath_, basePath_ + "/" + fileName_);
            int parent = OpenParent(parts);
            if (parent < 0) {
                return false;
            }
            file_.reset(::openat(parent, parts.back().c_str(),
                                 O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
            if (file_.get() < 0) {
                IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Cannot open file %1: %2", fileName_,
                               std::strerror(errno));
                return false;
            }
            BeginData(Sink::kFile, size);
            return true;
        }
        case '5': {
            if (!Normalise(name, &parts)) {
                return false;
            }
            SkipData(size);
            if (parts.empty()) {
                return true;  // "./" itself
            }
            std::string rel = Join(parts, parts.size());
            IDS_DEBUG("ids: IDSUntar: Extracting dir %1, base_dir: %2, full_path: %3", name,
                      basePath_, basePath_ + "/" + rel);
            int parent = OpenParent(parts);
            if (parent < 0 || !MakeDir(parent, parts.back(), rel)) {
                return false;
            }
            struct stat st;
            if (::fstatat(parent, parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISDIR(st.st_mode)) {
                IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: %1 exists and is not a dir", rel);
                return false;
            }
            return true;
        }
        case '1':
        case '2': {
            IDS_INFO(type == '1' ? "ids: IDSUntar: Ignoring hardlink %1"
                                 : "ids: IDSUntar: Ignoring symlink %1",
                     name);
            if (SplitName(name, &parts) && !parts.empty()) {
                links_.insert(Join(parts, parts.size()));
            }
            SkipData(size);
            return true;
        }
        case '3':
        case '4':
        case '6':
            IDS_INFO(type == '3'   ? "ids: IDSUntar: Ignoring character device %1"
                     : type == '4' ? "ids: IDSUntar: Ignoring block device %1"
                                   : "ids: IDSUntar: Ignoring FIFO %1",
                     name);
            SkipData(size);
            return true;
        case 'S':
            // Old GNU sparse entries carry extension blocks outside their size.
            IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Unsupported sparse entry %1", name);
            return false;
        default:
            IDS_INFO("ids: IDSUntar: Ignoring unsupported type %1 (%2)", type, name);
            SkipData(size);
            return true;
    }
}

// A GNU long name: the name, then NULs to the end of its data.
bool TarStream::TakeLongName(std::string* out) {
    size_t end = meta_.find('\0');
    std::string name = meta_.substr(0, end);
    if (name.empty() ||
        (end != std::string::npos && meta_.find_first_not_of('\0', end) != std::string::npos)) {
        IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Malformed long name");
        return false;
    }
    *out = std::move(name);
    return true;
}

// pax records: "<length> <key>=<value>\n", the length counting the whole record.
bool TarStream::ParsePax() {
    size_t pos = 0;
    while (pos < meta_.size()) {
        size_t space = meta_.find(' ', pos);
        uint64_t len = 0;
        size_t digits = 0;
        for (size_t i = pos; i < meta_.size() && i < space; ++i, ++digits) {
            if (meta_[i] < '0' || meta_[i] > '9' || digits >= 8) {
                space = std::string::npos;
                break;
            }
            len = len * 10 + static_cast<uint64_t>(meta_[i] - '0');
        }
        if (space == std::string::npos || digits == 0 || len > meta_.size() - pos ||
            len < digits + 4 || meta_[pos + len - 1] != '\n') {
            IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Malformed pax header");
            return false;
        }
        std::string record = meta_.substr(space + 1, pos + len - 1 - (space + 1));
        size_t eq = record.find('=');
        if (eq == std::string::npos || eq == 0) {
            IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Malformed pax header");
            return false;
        }
        std::string key = record.substr(0, eq);
        std::string value = record.substr(eq + 1);
        if (key == "path") {
            if (value.empty() || value.find('\0') != std::string::npos) {
                IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Malformed pax path");
                return false;
            }
            paxPath_ = std::move(value);
            havePaxPath_ = true;
        } else if (key == "size") {
            uint64_t v = 0;
            if (value.empty() || value.size() > 19 ||
                value.find_first_not_of("0123456789") != std::string::npos) {
                IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Malformed pax size %1", value);
                return false;
            }
            for (char c : value) {
                v = v * 10 + static_cast<uint64_t>(c - '0');
            }
            paxSize_ = v;
            havePaxSize_ = true;
        } else if (key.compare(0, 11, "GNU.sparse.") == 0) {
            IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Unsupported sparse entry");
            return false;
        }
        pos += len;
    }
    return true;
}

bool TarStream::EndData() {
    switch (sink_) {
        case Sink::kFile:
            if (::close(file_.release()) != 0) {
                IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Failed fwrite: %1", fileName_);
                return Fail();
            }
            break;
        case Sink::kLongName:
            if (!TakeLongName(&longName_)) {
                return Fail();
            }
            break;
        case Sink::kLongLink:
            break;  // links are skipped: their target does not matter
        case Sink::kPax:
            if (!ParsePax()) {
                return Fail();
            }
            break;
        case Sink::kDiscard:
            break;
    }
    sink_ = Sink::kDiscard;
    meta_.clear();
    return true;
}

bool OpenBase(const std::string& baseDir, FdGuard* fd) {
    fd->reset(::open(baseDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd->get() < 0) {
        IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Cannot open base dir %1: %2", baseDir,
                       std::strerror(errno));
        return false;
    }
    return true;
}

std::string StripSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

}  // namespace

const char* IDSUntarErrorCode(IDSUntarStatus status) {
    switch (status) {
        case IDSUntarStatus::kOk:
            return "";
        case IDSUntarStatus::kBadArchive:
            return "IDSERR_UNTAR";
        case IDSUntarStatus::kBadGzip:
            return "IDSERR_SIG_GZ_DECOMPRESS";
    }
    return "";
}

IDSUntarStatus IDSUntar::ExtractTar(std::string_view tar, const std::string& baseDir) const {
    FdGuard base;
    if (!OpenBase(baseDir, &base)) {
        return IDSUntarStatus::kBadArchive;
    }
    TarStream stream(base.get(), StripSlashes(baseDir), maxInflated_);
    if (!stream.Feed(tar.data(), tar.size()) || !stream.Finish()) {
        return IDSUntarStatus::kBadArchive;
    }
    return IDSUntarStatus::kOk;
}

IDSUntarStatus IDSUntar::ExtractTgz(std::string_view gz, const std::string& baseDir) const {
    FdGuard base;
    if (!OpenBase(baseDir, &base)) {
        return IDSUntarStatus::kBadArchive;
    }
    TarStream stream(base.get(), StripSlashes(baseDir), maxInflated_);
    // The whole gzip stream is read even after the end block, so that its checksum is verified.
    IDSGzip::Result r = IDSGzip::Inflate(
        gz, maxInflated_,
        [&stream](const char* data, size_t size) { return stream.Feed(data, size); });
    if (r == IDSGzip::Result::kStopped || stream.failed()) {
        return IDSUntarStatus::kBadArchive;
    }
    if (r != IDSGzip::Result::kOk) {
        return IDSUntarStatus::kBadGzip;
    }
    return stream.Finish() ? IDSUntarStatus::kOk : IDSUntarStatus::kBadArchive;
}

IDSUntarStatus IDSUntar::Install(std::string_view gz, const std::string& targetDir,
                                 const std::string& archiveName) const {
    namespace fs = std::filesystem;
    std::string target = StripSlashes(targetDir);
    fs::path tp(target);
    // A dot name beside the target: never matched by the engine's "custom_*" bundle pattern.
    std::string tmpl =
        tp.parent_path().string() + "/.staging-" + tp.filename().string() + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) {
        IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Cannot create staging dir %1: %2", tmpl,
                       std::strerror(errno));
        return IDSUntarStatus::kBadArchive;
    }
    std::string staging(buf.data());
    std::error_code ec;
    auto discard = [&staging]() {
        std::error_code ignored;
        fs::remove_all(staging, ignored);
    };
    IDSUntarStatus status = ExtractTgz(gz, staging);
    if (status != IDSUntarStatus::kOk) {
        discard();
        return status;
    }
    if (!archiveName.empty()) {
        std::string path = staging + "/" + archiveName;
        FdGuard fd(
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
        size_t done = 0;
        while (fd.get() >= 0 && done < gz.size()) {
            ssize_t n = ::write(fd.get(), gz.data() + done, gz.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            done += static_cast<size_t>(n);
        }
        if (fd.get() < 0 || done != gz.size()) {
            IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Cannot write archive %1", path);
            discard();
            return IDSUntarStatus::kBadArchive;
        }
    }
    // Swap the new content in; the old one goes only once the new one is in place.
    struct stat st;
    if (::lstat(target.c_str(), &st) == 0) {
        if (::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) !=
            0) {
            std::string old = staging + ".old";
            if (::rename(target.c_str(), old.c_str()) != 0 ||
                ::rename(staging.c_str(), target.c_str()) != 0) {
                IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Cannot replace %1: %2", target,
                               std::strerror(errno));
                ::rename(old.c_str(), target.c_str());
                discard();
                return IDSUntarStatus::kBadArchive;
            }
            fs::remove_all(old, ec);
            return IDSUntarStatus::kOk;
        }
        discard();  // now holds the old content
        return IDSUntarStatus::kOk;
    }
    if (::rename(staging.c_str(), target.c_str()) != 0) {
        IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Cannot install %1: %2", target,
                       std::strerror(errno));
        discard();
        return IDSUntarStatus::kBadArchive;
    }
    return IDSUntarStatus::kOk;
}

}  // namespace CfgAgent
