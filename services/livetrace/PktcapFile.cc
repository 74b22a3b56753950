#include "services/livetrace/PktcapFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/HostRoot.h"
#include "services/livetrace/PcapngWriter.h"

namespace CfgAgent::livetrace {

namespace {

constexpr uint32_t kSnapLength = 262144;
constexpr const char* kTemplate = "ltr_pcap.XXXXXX";

std::string Errno() {
    return std::strerror(errno);
}

// A directory that only this user can change: owned by it, no group or other write bit.
bool Trusted(const std::string& path, std::string* error) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        *error = path + ": " + Errno();
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *error = path + " is not a directory";
        return false;
    }
    if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        *error = path + " is not owned by this user alone";
        return false;
    }
    return true;
}

}  // namespace

PktcapFile::PktcapFile() = default;

PktcapFile::~PktcapFile() {
    Close();
}

bool PktcapFile::PrepareDirectory(const std::string& logicalDir, std::string* error) {
    // The components below the first one that must be ours ("/tmp/livetrace") are ours too; the
    // ones above ("/tmp", or the host root's) are taken as the system has them.
    std::string dir = logicalDir;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    std::vector<std::string> own;
    for (std::string p = dir; p.size() > 1 && p.rfind('/') > 0; p = p.substr(0, p.rfind('/')))
        own.insert(own.begin(), p);
    if (own.empty()) {
        *error = logicalDir + " has no directory of its own";
        return false;
    }
    // Missing components above ours (the host root's "/tmp" in tests) are made as mkdir -p does.
    std::string parent = ozy::hostPath(own.front().substr(0, own.front().rfind('/')));
    for (size_t pos = 0; !parent.empty() && pos != std::string::npos;) {
        pos = parent.find('/', pos + 1);
        std::string cur = parent.substr(0, pos);
        if (::mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = cur + ": " + Errno();
            return false;
        }
    }
    for (const std::string& logical : own) {
        std::string path = ozy::hostPath(logical);
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = path + ": " + Errno();
            return false;
        }
        if (!Trusted(path, error))
            return false;
    }
    return true;
}

bool PktcapFile::Create(const std::string& logicalDir, uint64_t maxBytes, std::string* error) {
    Close();
    std::string path = ozy::hostPath(logicalDir) + kTemplate;
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    int fd = ::mkostemp(name.data(), O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *error = Errno();
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        st.st_nlink != 1) {
        *error = "the new file is not a private regular file";
        ::close(fd);
        return false;
    }
    fd_ = fd;
    std::string real(name.data());
    logicalName_ = logicalDir + real.substr(real.rfind('/') + 1);
    maxBytes_ = maxBytes;
    packets_ = 0;
    writer_ = std::make_unique<PcapngWriter>(fd_);
    if (!writer_->Begin(kSnapLength) || !writer_->Flush()) {
        *error = "cannot write the file header: " + Errno();
        Close();
        return false;
    }
    return true;
}

PktcapFile::WriteResult PktcapFile::Write(uint64_t timestampNs, const uint8_t* data,
                                          uint32_t capturedLength, uint32_t originalLength,
                                          std::string_view comment) {
    if (fd_ < 0 || writer_->Failed())
        return WriteResult::kFailed;
    // An Enhanced Packet Block: 32 bytes around the padded data, and the comment option with the
    // end of options.
    uint64_t block = 32 + ((uint64_t{capturedLength} + 3) & ~uint64_t{3}) +
                     (comment.empty() ? 0 : 8 + ((comment.size() + 3) & ~size_t{3}));
    if (writer_->Size() + block > maxBytes_)
        return WriteResult::kCapReached;
    if (!writer_->WritePacket(timestampNs, data, capturedLength, originalLength, comment))
        return WriteResult::kFailed;
    ++packets_;
    return WriteResult::kOk;
}

bool PktcapFile::Close() {
    if (fd_ < 0)
        return true;
    bool ok = writer_->Flush();
    writer_.reset();
    ok = ::close(fd_) == 0 && ok;
    fd_ = -1;
    return ok;
}

}  // namespace CfgAgent::livetrace
