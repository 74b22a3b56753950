#pragma once
// Attribute keys of context and time profiles. str2attrkey maps a key name to its id:
//    0 APP_ID           1 DOMAIN_NAME     2 URL_CATEGORY   3 URL_REPUTATION  4 CUSTOM_URL
//    5 TLS_VERSION      6 TLS_CIPHER_SUITE 7 PROCESS_NAME  8 PROCESS_HASH    9 SNI
//   10 USER_AGENT      11 FILE_TYPE      12 DAY_OF_WEEK   13 START_TIME     14 END_TIME
//   15 TIME_OF_DAY     16 TIME_ZONE
// Values: DAY_OF_WEEK "SUNDAY".."SATURDAY" (any case); START_TIME and END_TIME a calendar time
// "%m/%d/%Y,%H:%M"; TIME_OF_DAY an interval "HH:MM,HH:MM"; TIME_ZONE "UTC" or "LOCAL" (any case;
// LOCAL is resolved by the device); every other key a non-empty text of at most 1024 bytes.
#include <cstdint>
#include <string>

namespace TarpFirewall {

// The key id of a name (exact, upper case); throws CInvalidAttrKey.
uint16_t str2attrkey(const std::string& name);
// The name of a key id; nullptr when unknown.
const char* attrkey2str(uint16_t key);
// The value as the library keeps it (weekday and zone upper-cased); throws CInvalidAttrValue.
std::string NormalizeAttrValue(uint16_t key, const std::string& value);

}  // namespace TarpFirewall
