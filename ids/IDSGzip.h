#pragma once
// Gzip inflation for the signature store: signature bundles, threshold archives and compressed
// signature lists arrive from the configuration database as gzip text.
//
// The output is handed over in chunks and is bounded: a caller names the most it accepts, and a
// stream that would inflate beyond it (a small "bomb" that expands to gigabytes) fails as soon as
// it crosses the bound, with "errorCode:IDSERR_SIG_GZ_DECOMPRESS", before anything more is
// produced. Nothing is ever allocated from a size the stream claims. Concatenated gzip members are
// one stream, as gzip(1) reads them. Any thread; no shared state.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace CfgAgent {

class IDSGzip {
  public:
    enum class Result {
        kOk,
        kFailed,     // empty input, not gzip, corrupt or truncated stream (logged)
        kOverLimit,  // the output would exceed the bound (logged)
        kStopped,    // the sink asked to stop (not logged here)
    };

    // Receives each inflated chunk; returning false stops inflation with kStopped.
    using Sink = std::function<bool(const char* data, size_t size)>;

    // Inflates `in` (window bits 31: gzip only), at most `maxOut` bytes in total.
    static Result Inflate(std::string_view in, uint64_t maxOut, const Sink& sink);
    // Inflates `in` into `out` (replaced), at most `maxOut` bytes.
    static Result InflateToString(std::string_view in, uint64_t maxOut, std::string* out);
};

}  // namespace CfgAgent
