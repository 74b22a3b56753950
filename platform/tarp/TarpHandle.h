#pragma once
// The state behind one library handle (FW_Handle): the device connections, the device epoch, the
// segments the device acknowledged in this epoch, and the per-filter records of rule-set and
// address-set names. Thread-safe; no lock is held across a device exchange.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/tarp/TarpDevicePool.h"
#include "platform/tarp/TarpFw.h"

namespace TarpFirewall {
class CTarpFWCmdList;
class CTarpFWSegment;
}  // namespace TarpFirewall

struct FW_Handle {
    FW_Handle(std::string path, ozy::device::IDeviceOpener& opener);

    // Greets the device (learns its epoch): 0 or a status.
    int Connect();
    int Evaluate(TarpFirewall::CTarpFWCmdList& list, const std::string& filter);
    // FW_EvaluateConfigFiles: the applies sent together on one connection; an apply that met an
    // unknown segment, or that a failed connection left unanswered, is evaluated again alone.
    void EvaluateBatch(TarpFirewall::CTarpFWCmdList* const* lists, const char* const* filters,
                       uint32_t count, int* statuses);
    void FilterChanged(const std::string& filter);
    // Sends a setting's whole request (filter name field, id, value size, value).
    int Setting(const char* filter, uint32_t id, const uint8_t* request, size_t size);
    // The settings `requests` (each whole, as Setting's; setting `id` of filters[i]) sent together
    // on one connection, answered in order; statuses[i] receives request i's status. A request
    // that a failed connection left unanswered is sent again alone.
    void SettingBatch(uint32_t id, const char* const* filters,
                      const ozy::device::IDevice::Request* requests, uint32_t count, int* statuses);
    // A device command whose reply payload must be `replySize` bytes (when not 0).
    int Simple(uint32_t command, const std::vector<uint8_t>& request, size_t replySize,
               std::vector<uint8_t>* reply);
    // Names of rule sets (ruleSets) or address sets of a filter, from the record when it holds:
    // `put` is called with the first `capacity` of them in order (under the handle's lock when
    // they come from the record), `total` is their count.
    int Names(const std::string& filter, bool ruleSets, uint32_t capacity,
              const std::function<void(uint32_t, const std::string&)>& put, uint32_t* total);
    // The record's token (FW_GetNamesToken): 0 unless both name lists hold.
    uint64_t NamesToken(const std::string& filter) const;
    int Stats(const std::string& filter, uint32_t capacity, std::vector<uint8_t>* records,
              uint32_t* total);
    // The IP-reputation chunks of the shared filter, from its record when it holds.
    int Chunks(uint32_t capacity, std::vector<FW_IpRepChunkStat>* chunks, uint32_t* total);

    uint64_t Epoch() const;
    // Acknowledged segments (tests and the benchmark).
    size_t AckedSegments() const;
    // Filters with a record (tests).
    size_t Records() const;
    // At most this many acknowledged segments are remembered (tests lower it).
    void SetAckedLimit(size_t limit);
    const std::string& Path() const { return pool_.Path(); }

  private:
    struct Record {
        uint64_t epoch = 0;
        // Handle-wide and never reused, so that an answer learnt before a record was dropped and
        // made again cannot pass for a current one.
        uint64_t generation = 0;
        bool ruleSetsValid = false;
        bool addrSetsValid = false;
        bool chunksValid = false;  // the shared filter's only
        // Drawn like `generation` whenever the names below change or are learnt.
        uint64_t namesToken = 0;
        std::set<std::string> ruleSets;
        std::set<std::string> addrSets;
        std::map<uint32_t, FW_IpRepChunkStat> chunks;
    };

    void OnInstance(uint64_t instance);
    // The filter's record, made (with a fresh generation) when it has none. Under mutex_.
    Record& RecordOf(const std::string& filter);
    // The device knows no such filter: its record goes (filters come and go with their VMs).
    void Forget(const std::string& filter);
    int Upload(TarpFirewall::detail::TarpDevicePool::Lease& lease,
               const TarpFirewall::CTarpFWSegment& segment);
    int ListFromDevice(const std::string& filter, uint32_t command, uint32_t capacity,
                       size_t recordSize, std::vector<uint8_t>* records, uint32_t* total);
    void Remember(const TarpFirewall::CTarpFWCmdList& list, const std::string& filter,
                  uint64_t epoch, uint64_t generation);
    // After a successful apply in `epoch`: the list's segments are held by the device.
    void Acknowledge(const TarpFirewall::CTarpFWCmdList& list, uint64_t epoch);

    TarpFirewall::detail::TarpDevicePool pool_;
    mutable std::mutex mutex_;
    uint64_t instance_ = 0;
    bool haveInstance_ = false;
    uint64_t epoch_ = 0;
    uint64_t generations_ = 0;
    // Every section version ever applied would stay here; past the limit the set starts afresh
    // (what a later apply needs is sent again once, and the device answers held ones at once).
    static constexpr size_t kMaxAckedSegments = 1u << 16;
    size_t ackedLimit_ = kMaxAckedSegments;
    std::unordered_set<uint64_t> acked_;
    std::unordered_map<std::string, Record> records_;
};
