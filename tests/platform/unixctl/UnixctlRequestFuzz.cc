// Fuzz target for what the unixctl server and client read from a socket: the stream framing, the
// request parser and the reply parser. The first byte picks the chunk size, so the same bytes are
// also framed as if they arrived in pieces; both framings must agree. A third framing takes the
// elements of an array out as they complete: it must find the same messages.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/jsonrpc/MessageFramer.h"
#include "platform/unixctl/UnixctlProtocol.h"

namespace {

using ozy::jsonrpc::MessageFramer;

constexpr size_t kLimit = 4096;

std::vector<std::string> Frame(const std::string& bytes, size_t chunk, MessageFramer::Status* end,
                               int cutDepth = 0) {
    MessageFramer framer(kLimit);
    std::string taken;
    if (cutDepth > 0)
        framer.SetElementCut(cutDepth,
                             [](std::string_view prefix) { return prefix.size() % 2 != 0; });
    std::vector<std::string> out;
    std::string msg;
    MessageFramer::Status status = MessageFramer::Status::kNeedMore;
    for (size_t pos = 0; pos < bytes.size() && status == MessageFramer::Status::kNeedMore;
         pos += chunk) {
        framer.Append(bytes.data() + pos, std::min(chunk, bytes.size() - pos));
        while ((status = framer.Next(&msg)) == MessageFramer::Status::kMessage)
            out.push_back(msg);
        framer.TakeElements(&taken);
    }
    *end = status;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    size_t chunk = 1 + data[0] % 16;
    std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    MessageFramer::Status wholeEnd, chunkedEnd;
    std::vector<std::string> whole = Frame(bytes, bytes.size() + 1, &wholeEnd);
    std::vector<std::string> chunked = Frame(bytes, chunk, &chunkedEnd);
    // Chunked framing may stop earlier on a size error only if the whole one failed too.
    if (wholeEnd == chunkedEnd && whole != chunked)
        std::abort();
    MessageFramer::Status cutEnd;
    std::vector<std::string> cut = Frame(bytes, chunk, &cutEnd, 1 + (data[0] >> 4) % 4);
    if (cutEnd == chunkedEnd && cut.size() != chunked.size())
        std::abort();
    for (const std::string& msg : whole) {
        ozy::unixctl::Request request;
        ozy::unixctl::Reply reply;
        std::string reason;
        if (ozy::unixctl::ParseRequest(msg, &request, &reason)) {
            // Every reply the server would send parses back to the same id and text.
            std::string body = request.method + (request.args.empty() ? "" : request.args[0]);
            std::string out = ozy::unixctl::FormatReply(request.idJson, false, body);
            if (!ozy::unixctl::ParseReply(out, &reply, &reason) || reply.idJson != request.idJson ||
                reply.success) {
                std::abort();
            }
        }
        ozy::unixctl::ParseReply(msg, &reply, &reason);
    }
    return 0;
}
