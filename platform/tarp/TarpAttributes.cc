#include "platform/tarp/TarpAttributes.h"

#include <cctype>
#include <cstdio>

#include "platform/tarp/CTarpFWException.h"
#include "platform/tarp/TarpWire.h"

namespace TarpFirewall {

namespace {

constexpr const char* kWeekdays[7] = {"SUNDAY",   "MONDAY", "TUESDAY", "WEDNESDAY",
                                      "THURSDAY", "FRIDAY", "SATURDAY"};

std::string Upper(const std::string& s) {
    std::string u = s;
    for (char& c : u)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

bool Digits(const std::string& s, size_t pos, size_t n, int* out) {
    if (pos + n > s.size())
        return false;
    int v = 0;
    for (size_t i = pos; i < pos + n; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(s[i])))
            return false;
        v = v * 10 + (s[i] - '0');
    }
    *out = v;
    return true;
}

// "HH:MM" at `pos`.
bool ClockTime(const std::string& s, size_t pos) {
    int h, m;
    return Digits(s, pos, 2, &h) && pos + 2 < s.size() && s[pos + 2] == ':' &&
           Digits(s, pos + 3, 2, &m) && h <= 23 && m <= 59;
}

// "%m/%d/%Y,%H:%M" with two-digit month, day, hour, minute and a four-digit year.
bool CalendarTime(const std::string& s) {
    int mon, day, year;
    if (s.size() != 16 || !Digits(s, 0, 2, &mon) || s[2] != '/' || !Digits(s, 3, 2, &day) ||
        s[5] != '/' || !Digits(s, 6, 4, &year) || s[10] != ',' || !ClockTime(s, 11))
        return false;
    if (mon < 1 || mon > 12 || day < 1 || year < 1970)
        return false;
    static const int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    int maxDay = kDays[mon - 1] - (mon == 2 && !leap ? 1 : 0);
    return day <= maxDay;
}

}  // namespace

uint16_t str2attrkey(const std::string& name) {
    for (uint16_t k = 0; k < ozy::tarp::kAttrKeyCount; ++k) {
        if (name == ozy::tarp::kAttrKeyNames[k])
            return k;
    }
    throw CInvalidAttrKey(name);
}

const char* attrkey2str(uint16_t key) {
    return key < ozy::tarp::kAttrKeyCount ? ozy::tarp::kAttrKeyNames[key] : nullptr;
}

std::string NormalizeAttrValue(uint16_t key, const std::string& value) {
    const char* name = attrkey2str(key);
    if (name == nullptr)
        throw CInvalidAttrKey(std::to_string(key));
    auto bad = [&] { return CInvalidAttrValue(name, value); };
    switch (key) {
        case ozy::tarp::kAttrDayOfWeek: {
            std::string u = Upper(value);
            for (const char* d : kWeekdays) {
                if (u == d)
                    return u;
            }
            throw bad();
        }
        case ozy::tarp::kAttrStartTime:
        case ozy::tarp::kAttrEndTime:
            if (!CalendarTime(value))
                throw bad();
            return value;
        case ozy::tarp::kAttrTimeOfDay:
            if (value.size() != 11 || !ClockTime(value, 0) || value[5] != ',' ||
                !ClockTime(value, 6))
                throw bad();
            return value;
        case ozy::tarp::kAttrTimeZone: {
            std::string u = Upper(value);
            if (u != "UTC" && u != "LOCAL")
                throw bad();
            return u;
        }
        default:
            if (value.empty() || value.size() > ozy::tarp::kMaxAttrValue)
                throw bad();
            return value;
    }
}

}  // namespace TarpFirewall
