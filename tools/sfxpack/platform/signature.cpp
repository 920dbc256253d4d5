// What both platforms' signature readers share: the DER element's value,
// the wording of a distinguished name, and calendar time in seconds.
#include "platform/signature.h"

namespace sfxpack {

std::string_view derValue(std::string_view der)
{
    if (der.size() < 2)
        return {};
    size_t at = 2;
    uint64_t len = static_cast<unsigned char>(der[1]);
    if (len & 0x80) {
        const size_t n = len & 0x7f;
        if (n == 0 || n > 4 || der.size() < 2 + n)
            return {};
        len = 0;
        for (size_t i = 0; i < n; ++i)
            len = len << 8 | static_cast<unsigned char>(der[2 + i]);
        at += n;
    }
    if (len != der.size() - at)
        return {};
    return der.substr(at);
}

std::string formatName(const std::vector<std::pair<std::string, std::string>>& parts)
{
    static const struct {
        const char* oid;
        const char* name;
    } known[] = {
        {"2.5.4.3", "CN"},  {"2.5.4.6", "C"},  {"2.5.4.7", "L"},  {"2.5.4.8", "ST"},
        {"2.5.4.10", "O"},  {"2.5.4.11", "OU"}, {"2.5.4.5", "serialNumber"},
        {"1.2.840.113549.1.9.1", "emailAddress"},
    };
    std::string out;
    for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
        std::string type = part->first;
        for (const auto& k : known)
            if (type == k.oid)
                type = k.name;
        out += (out.empty() ? "" : ", ") + type + "=" + part->second;
    }
    return out;
}

int64_t secondsFromCivil(int year, int month, int day, int hour, int minute, int second)
{
    // Days from 1970-01-01 in the proleptic Gregorian calendar, counted
    // from March so that the leap day ends the year.
    const int64_t y = int64_t(year) - (month <= 2);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yearOfEra = y - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const int64_t days = era * 146097 + dayOfEra - 719468;
    return days * 86400 + int64_t(hour) * 3600 + minute * 60 + second;
}

}  // namespace sfxpack
