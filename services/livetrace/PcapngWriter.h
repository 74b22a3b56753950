#pragma once
// A minimal pcapng writer: one section (SHB), one Ethernet interface (IDB, linktype 1, timestamps
// in nanoseconds) and Enhanced Packet Blocks, each with an optional comment (opt_comment), which
// libpcap's dump API cannot write. Blocks are written in host byte order, as the section's
// byte-order magic tells readers.
//
// Writes go through a buffer to a file descriptor the caller owns; nothing is written after the
// first failure (Failed()). Not thread-safe.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace CfgAgent::livetrace {

class PcapngWriter {
  public:
    static constexpr size_t kBufferSize = 64 * 1024;

    explicit PcapngWriter(int fd) : fd_(fd) { buffer_.reserve(kBufferSize); }
    ~PcapngWriter() { Flush(); }
    PcapngWriter(const PcapngWriter&) = delete;
    PcapngWriter& operator=(const PcapngWriter&) = delete;

    // The section header and the interface description; first, once.
    bool Begin(uint32_t snapLength);
    // One packet: `capturedLength` bytes of `data`, the frame's `originalLength`, a timestamp in
    // nanoseconds since the epoch and a comment (none when empty).
    bool WritePacket(uint64_t timestampNs, const uint8_t* data, uint32_t capturedLength,
                     uint32_t originalLength, std::string_view comment);
    bool Flush();

    bool Failed() const { return failed_; }
    // Bytes handed to the writer so far (buffered or written).
    uint64_t Size() const { return size_; }

  private:
    void Put32(uint32_t v);
    void Put16(uint16_t v);
    void PutBytes(const void* data, size_t size);
    void Pad();
    bool Reserve(size_t blockSize);

    int fd_;
    std::vector<uint8_t> buffer_;
    uint64_t size_ = 0;
    bool failed_ = false;
};

}  // namespace CfgAgent::livetrace
