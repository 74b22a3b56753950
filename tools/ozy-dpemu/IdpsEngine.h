#pragma once
// The IDS engine as the emulator plays it: the command protocol of platform/ids/IdsEngineProtocol.h
// decoded strictly, and the engine's tables. Socket handling lives in IdpsService; this class sees
// whole frames (the sizer has checked the header and the length cap) and says what to send back.
//
// Strict decode: a request before the version exchange, a version text that is not a JSON object
// with a string "version", an unknown type, or a value that does not parse as the type's request
// message (or carries fields the message does not have) gets an error reply (type 1) and changes
// nothing. Tables: rules (id to action), profiles (SID to action, capture settings), log level,
// alert log, start time, reloads and sids_loaded; a reload (type 13) counts the distinct "sid:"
// ids of bundles/system/rules/*.rules, bundles/custom_*/**/*.rules and threshold.config under the
// configuration directory (comment lines left out).
//
// Faults for the tests: the next N requests of a type fail (type-1 replies, nothing applied); the
// next reply of a type comes with the wrong type, a value that is not the message, a length
// beyond the bytes sent, a length beyond the cap, or not at all; the version reply's text.
// Loop thread only.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "proto/idps.pb.h"

namespace ozy::dpemu {

class IdpsEngine {
  public:
    enum class ReplyFault { kNone, kWrongType, kGarbage, kTruncated, kHuge, kStall };

    // Per connection.
    struct Session {
        bool versionDone = false;
    };

    // `confDir`: the configuration directory as a path to open (host root applied).
    explicit IdpsEngine(std::string confDir);

    // One complete frame; returns the bytes to send back (possibly none).
    std::vector<uint8_t> OnFrame(Session& session, const uint8_t* frame, size_t size);

    // Forgets every table, as a restarted engine does.
    void Reset();
    void FailNext(uint32_t type, uint32_t count) { failNext_[type] = count; }
    void FaultNextReply(uint32_t type, ReplyFault fault) { replyFault_[type] = fault; }
    // An empty text restores the normal version reply.
    void SetVersionReply(std::string text) { versionReply_ = std::move(text); }
    nlohmann::json Dump() const;
    uint64_t sidsLoaded() const { return sidsLoaded_; }

  private:
    std::vector<uint8_t> Version(Session& session, std::string_view value);
    std::vector<uint8_t> Error(uint32_t type, int code, const std::string& text);
    // Handles a decoded request; false with `error` when it is refused.
    bool Apply(uint32_t type, std::string_view value, std::string* reply, std::string* error);
    uint64_t CountSids() const;
    void Note(const std::string& text);

    std::string confDir_;
    std::chrono::steady_clock::time_point started_;
    std::map<std::string, uint32_t> rules_;
    std::map<std::string, orvane::ozy::lcp::idps::ProfileInfoMsg> profiles_;
    std::string logLevel_ = "info";
    bool alertLog_ = true;
    uint64_t reloads_ = 0;
    uint64_t sidsLoaded_ = 0;
    std::string lastVersion_;
    std::map<uint32_t, uint64_t> requests_;
    uint64_t errorReplies_ = 0;
    std::deque<std::string> errors_;
    std::map<uint32_t, uint32_t> failNext_;
    std::map<uint32_t, ReplyFault> replyFault_;
    std::string versionReply_;
};

// The command socket's sizer: 8-byte header, value at most the cap.
long IdpsFrameSize(const uint8_t* data, size_t size, std::string* error);

}  // namespace ozy::dpemu
