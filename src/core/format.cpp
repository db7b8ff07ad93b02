#include "core/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

namespace mirvon {

std::string format_float(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // The widest fixed text of a double is about 330 digits.
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    return std::string(buf, res.ptr);
}

namespace {
constexpr std::int64_t MIN_YEAR = -262143;
constexpr std::int64_t MAX_YEAR = 262142;
constexpr std::int64_t MS_PER_DAY = 86'400'000;

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}
}  // namespace

std::optional<CivilDateTime> civil_from_ms(std::int64_t ms) {
    // Split into days and the time of day without forming days * MS_PER_DAY,
    // which leaves the int64 range for times within a day of its minimum.
    std::int64_t days = ms / MS_PER_DAY;
    std::int64_t rem = ms % MS_PER_DAY;
    if (rem < 0) {
        rem += MS_PER_DAY;
        --days;
    }
    // Days since 1970-01-01 to a proleptic Gregorian date.
    const std::int64_t z = days + 719468;
    const std::int64_t era = floor_div(z, 146097);
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const unsigned d = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    const unsigned m = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    const std::int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    if (y < MIN_YEAR || y > MAX_YEAR) return std::nullopt;
    CivilDateTime dt{};
    dt.year = y;
    dt.month = m;
    dt.day = d;
    dt.hour = static_cast<unsigned>(rem / 3'600'000);
    rem %= 3'600'000;
    dt.minute = static_cast<unsigned>(rem / 60'000);
    rem %= 60'000;
    dt.second = static_cast<unsigned>(rem / 1000);
    dt.millisecond = static_cast<unsigned>(rem % 1000);
    return dt;
}

std::string format_utc(const CivilDateTime& dt) {
    char buf[64];
    int n;
    if (dt.year >= 0 && dt.year <= 9999)
        n = std::snprintf(buf, sizeof buf, "%04lld", static_cast<long long>(dt.year));
    else
        n = std::snprintf(buf, sizeof buf, "%+05lld", static_cast<long long>(dt.year));
    std::string out(buf, static_cast<std::size_t>(n));
    n = std::snprintf(buf, sizeof buf, "-%02u-%02uT%02u:%02u:%02u", dt.month, dt.day, dt.hour,
                      dt.minute, dt.second);
    out.append(buf, static_cast<std::size_t>(n));
    if (dt.millisecond != 0) {
        n = std::snprintf(buf, sizeof buf, ".%03u", dt.millisecond);
        out.append(buf, static_cast<std::size_t>(n));
    }
    out += 'Z';
    return out;
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    auto escape = [&out](unsigned code) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "\\u{%x}", code);
        out += buf;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    escape(c);
                } else if (c == 0xc2 && i + 1 < text.size() &&
                           static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                           static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
                    // C1 control characters, U+0080 to U+009F, in UTF-8.
                    escape(static_cast<unsigned char>(text[++i]));
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

}  // namespace mirvon
