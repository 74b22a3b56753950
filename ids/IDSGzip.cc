#include "ids/IDSGzip.h"

#include <zlib.h>

#include <algorithm>
#include <vector>

#include "ids/IdsLog.h"

namespace CfgAgent {

namespace {
constexpr size_t kChunk = 64 * 1024;
}  // namespace

IDSGzip::Result IDSGzip::Inflate(std::string_view in, uint64_t maxOut, const Sink& sink) {
    if (in.empty()) {
        IDS_ERROR_CODE("IDSERR_SIG_GZ_DECOMPRESS",
                       "ids: IDSSignature: Input gzip string is empty.");
        return Result::kFailed;
    }
    z_stream zs{};
    int ret = inflateInit2(&zs, 31);
    if (ret != Z_OK) {
        IDS_ERROR_CODE("IDSERR_SIG_GZ_DECOMPRESS",
                       "ids: IDSSignature: Cannot init zlib pipe, err: %1", ret);
        return Result::kFailed;
    }
    std::vector<unsigned char> out(kChunk);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    // zlib counts input in 32-bit units: feed very large inputs in slices.
    size_t left = in.size();
    uint64_t total = 0;
    Result result = Result::kOk;
    for (;;) {
        if (zs.avail_in == 0 && left > 0) {
            zs.avail_in = static_cast<uInt>(std::min<size_t>(left, 1u << 30));
            left -= zs.avail_in;
        }
        zs.next_out = out.data();
        zs.avail_out = static_cast<uInt>(out.size());
        ret = inflate(&zs, Z_NO_FLUSH);
        size_t produced = out.size() - zs.avail_out;
        if (ret != Z_OK && ret != Z_STREAM_END) {
            IDS_ERROR_CODE("IDSERR_SIG_GZ_DECOMPRESS",
                           "ids: IDSSignature: Unable to decompress, errCode: %1", ret);
            result = Result::kFailed;
            break;
        }
        if (produced > maxOut - total) {
            IDS_ERROR_CODE("IDSERR_SIG_GZ_DECOMPRESS",
                           "ids: IDSSignature: Decompressed data exceeds the limit of %1 bytes",
                           maxOut);
            result = Result::kOverLimit;
            break;
        }
        total += produced;
        if (produced > 0 && !sink(reinterpret_cast<const char*>(out.data()), produced)) {
            result = Result::kStopped;
            break;
        }
        if (ret == Z_STREAM_END) {
            if (zs.avail_in == 0 && left == 0) {
                break;
            }
            // Another gzip member follows.
            inflateReset(&zs);
            continue;
        }
        if (produced == 0 && zs.avail_in == 0 && left == 0) {
            // No progress and no input left: the stream was cut short.
            IDS_ERROR_CODE("IDSERR_SIG_GZ_DECOMPRESS",
                           "ids: IDSSignature: Unable to decompress, errCode: %1", Z_BUF_ERROR);
            result = Result::kFailed;
            break;
        }
    }
    inflateEnd(&zs);
    if (result == Result::kOk) {
        IDS_DEBUG("ids: IDSSignature: signature file decompressed successfully");
    }
    return result;
}

IDSGzip::Result IDSGzip::InflateToString(std::string_view in, uint64_t maxOut, std::string* out) {
    out->clear();
    return Inflate(in, maxOut, [out](const char* data, size_t size) {
        out->append(data, size);
        return true;
    });
}

}  // namespace CfgAgent
