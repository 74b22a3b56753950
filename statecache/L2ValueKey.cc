#include "statecache/L2ValueKey.h"

#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_types.pb.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

template <typename Msg>
bool Parse(std::string_view body, Msg* msg) {
    return msg->ParseFromArray(body.data(), static_cast<int>(body.size()));
}

uint64_t BigEndian64(const std::string& bytes, size_t offset) {
    uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i)
        v = (v << 8) | static_cast<unsigned char>(bytes[offset + i]);
    return v;
}

// IPv4: (address, 0, false); IPv6: (high, low, true). False when no usable address is set.
bool AddressParts(const pb::IpAddressMsg& ip, uint64_t* high, uint64_t* low, bool* v6) {
    switch (ip.address_case()) {
        case pb::IpAddressMsg::kIpv4:
            *high = ip.ipv4();
            *low = 0;
            *v6 = false;
            return true;
        case pb::IpAddressMsg::kIpv6:
            if (ip.ipv6().size() != 16)
                return false;
            *high = BigEndian64(ip.ipv6(), 0);
            *low = BigEndian64(ip.ipv6(), 8);
            *v6 = true;
            return true;
        default:
            return false;
    }
}

}  // namespace

bool GetL2PropertyValueKey(PropertyType property, std::string_view body, L2ValueKey* key,
                           bool* invalidProperty) {
    *key = L2ValueKey{};
    if (invalidProperty != nullptr)
        *invalidProperty = false;
    uint64_t high = 0;
    uint64_t low = 0;
    bool v6 = false;
    switch (property) {
        case PropertyType::L2_VM_IP: {
            pb::LogSwitchIpEntryMsg m;
            if (!Parse(body, &m) || !m.has_ip() || !AddressParts(m.ip(), &high, &low, &v6))
                return false;
            key->part[0] = high;
            key->part[1] = low;
            return true;
        }
        case PropertyType::L2_VM_MAC: {
            pb::LogSwitchMacEntryMsg m;
            if (!Parse(body, &m) || !m.has_mac())
                return false;
            key->part[0] = m.mac();
            return true;
        }
        case PropertyType::L2_VTEP: {
            pb::LogSwitchVtepEntryMsg m;
            if (!Parse(body, &m) || !m.has_ip() || !AddressParts(m.ip(), &high, &low, &v6))
                return false;
            if (v6) {
                key->part[0] = low;
                key->part[1] = (high << 3) | 6;
            } else {
                key->part[0] = high;
                key->part[1] = 4;
            }
            return true;
        }
        case PropertyType::L2_VTEP_GROUP_LABEL: {
            pb::VtepLabelMsg m;
            if (!Parse(body, &m) || !m.has_label())
                return false;
            key->part[0] = m.label();
            return true;
        }
        case PropertyType::L2_VTEP_GROUP: {
            pb::VtepGroupMsg m;
            if (!Parse(body, &m) || !m.has_key())
                return false;
            key->part[0] = m.key();
            return true;
        }
        default:
            if (invalidProperty != nullptr)
                *invalidProperty = true;
            return false;
    }
}

}  // namespace CfgAgent
