// The acquisition time of a block from its date and time parameters, read as instruments write
// them: day/month/year (or year-month-day), a time with or without fractions of a second, and a
// zone in one of several forms, or none.
#include "orvelio/orvelio.hpp"

#include <cmath>
#include <string>

namespace orvelio {

namespace {

constexpr std::string_view kBlanks = " \t\r\n\v\f";

std::string_view trim(std::string_view s) {
    // NULs are padding: what follows the first one is not text.
    s = s.substr(0, s.find('\0'));
    const size_t a = s.find_first_not_of(kBlanks);
    if (a == std::string_view::npos)
        return {};
    return s.substr(a, s.find_last_not_of(kBlanks) - a + 1);
}

bool digit(char c) { return c >= '0' && c <= '9'; }

// Digits at s[i...]: their value and count (at most 9 digits).
bool number(std::string_view s, size_t &i, long &value, size_t &digits) {
    value = 0;
    digits = 0;
    while (i < s.size() && digit(s[i]) && digits < 9) {
        value = value * 10 + (s[i] - '0');
        ++i;
        ++digits;
    }
    return digits > 0 && !(i < s.size() && digit(s[i]));
}

void skip_blanks(std::string_view s, size_t &i) {
    while (i < s.size() && kBlanks.find(s[i]) != std::string_view::npos)
        ++i;
}

// Days from 1970-01-01 to the date (proleptic Gregorian).
long days_from_civil(long y, long m, long d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool leap(long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// "31/12/2025", "31.12.2025", "31-12-25", "2025-12-31", "2025/12/31": days since the epoch.
bool read_date(std::string_view s, long &days) {
    long part[3];
    size_t width[3], i = 0;
    for (int k = 0; k < 3; ++k) {
        skip_blanks(s, i);
        if (!number(s, i, part[k], width[k]))
            return false;
        skip_blanks(s, i);
        if (k < 2) {
            if (i >= s.size() || (s[i] != '/' && s[i] != '.' && s[i] != '-'))
                return false;
            ++i;
        }
    }
    if (i != s.size())
        return false;
    long y, m, d;
    if (width[0] == 4)
        y = part[0], m = part[1], d = part[2];
    else
        d = part[0], m = part[1], y = part[2];
    if (width[0] != 4 && width[2] <= 2)
        y += y < 70 ? 2000 : 1900;
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > kDays[m - 1] + (m == 2 && leap(y)))
        return false;
    days = days_from_civil(y, m, d);
    return true;
}

// A zone's offset from UTC in seconds: "GMT+1", "GMT+10.5", "GMT-03:30", "UTC+0530", "+01:00",
// "Z", "UTC", "GMT", each perhaps in brackets. false when it is no zone this knows.
bool read_zone(std::string_view z, double &offset) {
    if (z.size() >= 2 && ((z.front() == '(' && z.back() == ')') || (z.front() == '[' && z.back() == ']')))
        z = trim(z.substr(1, z.size() - 2));
    offset = 0;
    for (std::string_view name : {"GMT", "UTC", "UT", "Z"}) {
        if (z.size() >= name.size()) {
            bool same = true;
            for (size_t k = 0; k < name.size(); ++k)
                same = same && (z[k] & ~0x20) == name[k];
            if (same) {
                z = trim(z.substr(name.size()));
                break;
            }
        }
    }
    if (z.empty())
        return true;
    if (z[0] != '+' && z[0] != '-')
        return false;
    const double sign = z[0] == '-' ? -1 : 1;
    size_t i = 1;
    skip_blanks(z, i);
    long h, m = 0;
    size_t n, mn;
    if (!number(z, i, h, n))
        return false;
    double hours = static_cast<double>(h);
    if (n == 4) { // "+0530"
        hours = static_cast<double>(h / 100) + static_cast<double>(h % 100) / 60.0;
        if (h % 100 >= 60)
            return false;
    } else if (n > 2) {
        return false;
    } else if (i < z.size() && z[i] == ':') {
        ++i;
        if (!number(z, i, m, mn) || mn != 2 || m >= 60)
            return false;
        hours += static_cast<double>(m) / 60.0;
    } else if (i < z.size() && (z[i] == '.' || z[i] == ',')) {
        ++i;
        const size_t from = i;
        long frac;
        if (!number(z, i, frac, mn))
            return false;
        hours += static_cast<double>(frac) / std::pow(10.0, static_cast<double>(i - from));
    }
    if (i != z.size() || hours > 14)
        return false;
    offset = sign * hours * 3600.0;
    return true;
}

} // namespace

Acquired acquisition_time(std::string_view date_text, std::string_view time_text) {
    Acquired out;
    out.date = std::string(date_text.substr(0, date_text.find('\0')));
    out.time = std::string(time_text.substr(0, time_text.find('\0')));
    const std::string_view date = trim(date_text), time = trim(time_text);
    if (date.empty() || time.empty()) {
        out.note = date.empty() ? "no date of measurement" : "no time of measurement";
        return out;
    }
    long days;
    if (!read_date(date, days)) {
        out.note = "the date of measurement \"" + std::string(date) + "\" cannot be read";
        return out;
    }
    // hh:mm[:ss[.fff]], then the zone.
    size_t i = 0;
    long h, m, s = 0;
    size_t n;
    double fraction = 0;
    bool ok = number(time, i, h, n) && n <= 2 && i < time.size() && time[i] == ':';
    if (ok) {
        ++i;
        ok = number(time, i, m, n) && n == 2;
    }
    if (ok && i < time.size() && time[i] == ':') {
        ++i;
        ok = number(time, i, s, n) && n == 2;
        if (ok && i < time.size() && (time[i] == '.' || time[i] == ',')) {
            ++i;
            double scale = 0.1;
            const size_t from = i;
            for (; i < time.size() && digit(time[i]); ++i, scale /= 10)
                fraction += (time[i] - '0') * scale;
            ok = i > from;
        }
    }
    if (!ok || h > 24 || m > 59 || s > 60 || (h == 24 && (m || s || fraction))) {
        out.note = "the time of measurement \"" + std::string(time) + "\" cannot be read";
        return out;
    }
    const std::string_view zone = trim(time.substr(i));
    double offset = 0;
    if (zone.empty()) {
        out.note = "no time zone: taken as UTC";
    } else if (!read_zone(zone, offset)) {
        out.note = "unknown time zone \"" + std::string(zone) + "\": taken as UTC";
        offset = 0;
    }
    out.utc = static_cast<double>(days) * 86400.0 + static_cast<double>(h * 3600 + m * 60 + s) + fraction - offset;
    return out;
}

} // namespace orvelio
