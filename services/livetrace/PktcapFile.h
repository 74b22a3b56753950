#pragma once
// One capture file of a live-trace session and direction, in the capture directory.
//
// The directory lies in a world-writable temporary directory where anyone could have prepared a
// symlink or a directory of their own for a root agent to write through: PrepareDirectory
// creates each missing component of it 0700 and accepts it only when lstat shows a real
// directory owned by this process's user that nobody else can write; files are created by
// mkostemp (O_EXCL, 0600) with O_NOFOLLOW and checked again with fstat. Each file holds at most
// `maxBytes`; packets beyond are refused (kCapReached) and the file stays valid.
// Paths given and returned are logical (under the host root on disk). Not thread-safe.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace CfgAgent::livetrace {

class PcapngWriter;

class PktcapFile {
  public:
    enum class WriteResult { kOk, kCapReached, kFailed };

    PktcapFile();
    ~PktcapFile();
    PktcapFile(const PktcapFile&) = delete;
    PktcapFile& operator=(const PktcapFile&) = delete;

    // `logicalDir` ends with '/'. False with the reason.
    static bool PrepareDirectory(const std::string& logicalDir, std::string* error);

    // A new file from the template "<dir>ltr_pcap.XXXXXX" with the pcapng header written.
    bool Create(const std::string& logicalDir, uint64_t maxBytes, std::string* error);
    WriteResult Write(uint64_t timestampNs, const uint8_t* data, uint32_t capturedLength,
                      uint32_t originalLength, std::string_view comment);
    // Flushes and closes; false when anything written since Create was lost.
    bool Close();

    bool IsOpen() const { return fd_ >= 0; }
    const std::string& LogicalName() const { return logicalName_; }
    uint64_t Packets() const { return packets_; }

  private:
    int fd_ = -1;
    std::unique_ptr<PcapngWriter> writer_;
    std::string logicalName_;
    uint64_t maxBytes_ = 0;
    uint64_t packets_ = 0;
};

}  // namespace CfgAgent::livetrace
