#include "platform/device/DeviceFrame.h"

#include <cstring>

namespace ozy::device {

namespace {
void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
uint32_t Get32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
}  // namespace

void EncodeFrameHeader(uint8_t* out, uint32_t code, uint32_t length) {
    Put32(out, kFrameMagic);
    Put32(out + 4, code);
    Put32(out + 8, length);
}

HeaderStatus DecodeFrameHeader(const uint8_t* in, FrameHeader* out) {
    if (Get32(in) != kFrameMagic) {
        return HeaderStatus::kBadMagic;
    }
    out->code = Get32(in + 4);
    out->length = Get32(in + 8);
    if (out->length > kMaxPayload) {
        return HeaderStatus::kTooLarge;
    }
    return HeaderStatus::kOk;
}

std::vector<uint8_t> EncodeFrame(uint32_t code, const void* payload, size_t size) {
    std::vector<uint8_t> frame(kFrameHeaderSize + size);
    EncodeFrameHeader(frame.data(), code, static_cast<uint32_t>(size));
    if (size > 0) {
        std::memcpy(frame.data() + kFrameHeaderSize, payload, size);
    }
    return frame;
}

}  // namespace ozy::device
