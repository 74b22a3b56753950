#include "services/livetrace/PcapngWriter.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace CfgAgent::livetrace {

namespace {

constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescription = 0x00000001;
constexpr uint32_t kEnhancedPacket = 0x00000006;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kLinkTypeEthernet = 1;
constexpr uint16_t kOptEndOfOpt = 0;
constexpr uint16_t kOptComment = 1;
constexpr uint16_t kIfTsresol = 9;
constexpr uint8_t kNanoseconds = 9;  // 10^-9

size_t Padded(size_t n) {
    return (n + 3) & ~size_t{3};
}

}  // namespace

void PcapngWriter::Put32(uint32_t v) {
    PutBytes(&v, 4);
}

void PcapngWriter::Put16(uint16_t v) {
    PutBytes(&v, 2);
}

void PcapngWriter::PutBytes(const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    buffer_.insert(buffer_.end(), p, p + size);
}

void PcapngWriter::Pad() {
    buffer_.resize(Padded(buffer_.size()), 0);
}

// Room for one block: the buffer is flushed first when the block would not fit in it.
bool PcapngWriter::Reserve(size_t blockSize) {
    if (failed_)
        return false;
    if (buffer_.size() + blockSize > kBufferSize && !Flush())
        return false;
    size_ += blockSize;
    return true;
}

bool PcapngWriter::Flush() {
    size_t done = 0;
    while (!failed_ && done < buffer_.size()) {
        ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            failed_ = true;
        else
            done += static_cast<size_t>(n);
    }
    buffer_.clear();
    return !failed_;
}

bool PcapngWriter::Begin(uint32_t snapLength) {
    const uint32_t shbLength = 28;
    if (!Reserve(shbLength))
        return false;
    Put32(kSectionHeader);
    Put32(shbLength);
    Put32(kByteOrderMagic);
    Put16(1);           // major version
    Put16(0);           // minor version
    Put32(0xFFFFFFFF);  // section length unknown (64 bits)
    Put32(0xFFFFFFFF);
    Put32(shbLength);

    // IDB: linktype, reserved, snap length, if_tsresol (1 byte padded to 4), end of options.
    const uint32_t idbLength = 8 + 8 + (4 + 4) + 4 + 4;
    if (!Reserve(idbLength))
        return false;
    Put32(kInterfaceDescription);
    Put32(idbLength);
    Put16(kLinkTypeEthernet);
    Put16(0);
    Put32(snapLength);
    Put16(kIfTsresol);
    Put16(1);
    PutBytes(&kNanoseconds, 1);
    Pad();
    Put16(kOptEndOfOpt);
    Put16(0);
    Put32(idbLength);
    return !failed_;
}

bool PcapngWriter::WritePacket(uint64_t timestampNs, const uint8_t* data, uint32_t capturedLength,
                               uint32_t originalLength, std::string_view comment) {
    // A comment's length field is 16 bits.
    if (comment.size() > 0xFFFF)
        comment = comment.substr(0, 0xFFFF);
    size_t options = comment.empty() ? 0 : 4 + Padded(comment.size()) + 4;
    size_t length = 28 + Padded(capturedLength) + options + 4;
    if (length > 0xFFFFFFFFu || !Reserve(length))
        return false;
    Put32(kEnhancedPacket);
    Put32(static_cast<uint32_t>(length));
    Put32(0);  // interface 0
    Put32(static_cast<uint32_t>(timestampNs >> 32));
    Put32(static_cast<uint32_t>(timestampNs));
    Put32(capturedLength);
    Put32(originalLength);
    PutBytes(data, capturedLength);
    Pad();
    if (!comment.empty()) {
        Put16(kOptComment);
        Put16(static_cast<uint16_t>(comment.size()));
        PutBytes(comment.data(), comment.size());
        Pad();
        Put16(kOptEndOfOpt);
        Put16(0);
    }
    Put32(static_cast<uint32_t>(length));
    return !failed_;
}

}  // namespace CfgAgent::livetrace
