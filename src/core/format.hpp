// Number and date texts used in messages and event descriptions.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace mirvon {

// Shortest text that reads back to the same double, never in exponent form;
// whole values have no fractional part; NaN, inf and -inf are spelled out.
std::string format_float(double value);

struct CivilDateTime {
    std::int64_t year;
    unsigned month, day, hour, minute, second, millisecond;
};

// Calendar date-time in UTC of a millisecond timestamp, or nothing when the
// year lies outside the range that calendar libraries commonly represent.
std::optional<CivilDateTime> civil_from_ms(std::int64_t ms);

// YYYY-MM-DDTHH:MM:SS[.mmm]Z
std::string format_utc(const CivilDateTime& dt);

// Text between double quotes with backslash escapes for quotes, backslashes
// and control characters.
std::string quoted(const std::string& text);

}  // namespace mirvon
