#include "platform/tarp/JHash64.h"

#include "platform/tarp/TarpWire.h"

uint64_t jhash64(const void* data, size_t size, uint64_t initval) {
    return ozy::tarp::Hash64(static_cast<const uint8_t*>(data), size, initval);
}
