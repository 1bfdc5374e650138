#include "units.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <langinfo.h>

#include "job.h"

namespace salvitra {

namespace {

// Three significant digits of v (0.97 <= v < 999.5).
std::string threeDigits(double v)
{
    char buf[32];
    if (v < 9.995)
        snprintf(buf, sizeof buf, "%.2f", v);
    else if (v < 99.95)
        snprintf(buf, sizeof buf, "%.1f", v);
    else
        snprintf(buf, sizeof buf, "%.0f", v);
    return buf;
}

std::string replaceAll(std::string s, const std::string &from, const std::string &to)
{
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

}  // namespace

std::string readableSize(uint64_t bytes)
{
    if (bytes < 1000)
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    static const char *const kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    double v = (double)bytes / 1024.0;
    int u = 0;
    // Four digits would be needed from 999.5 on: that is 0.98 of the next unit.
    while (u < 5 && v >= 999.5) {
        v /= 1024.0;
        u++;
    }
    return threeDigits(v) + " " + kUnits[u];
}

std::string exactBytes(uint64_t bytes)
{
    std::string digits = std::to_string(bytes);
    std::string out;
    for (size_t i = 0; i < digits.size(); i++) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out + (bytes == 1 ? " byte" : " bytes");
}

std::string dateText(int64_t t)
{
    if (t < 0)
        return {};
    time_t tt = (time_t)t;
    if ((int64_t)tt != t)
        return {};
    struct tm tmv;
    if (!localtime_r(&tt, &tmv))
        return {};
    // The locale's own date order, with the year written out in full; the
    // C locale's two-digit American form reads better as ISO 8601.
    std::string date = nl_langinfo(D_FMT);
    if (date.empty() || date == "%m/%d/%y" || date == "%D")
        date = "%Y-%m-%d";
    date = replaceAll(date, "%y", "%Y");
    // Hours and minutes, on the locale's clock (12 or 24 hours).
    std::string clock = nl_langinfo(T_FMT);
    const bool twelve = clock.find("%p") != std::string::npos || clock.find("%r") != std::string::npos ||
                        clock.find("%I") != std::string::npos || clock.find("%l") != std::string::npos;
    std::string fmt = date + (twelve ? " %I:%M %p" : " %H:%M");
    char buf[128];
    size_t n = strftime(buf, sizeof buf, fmt.c_str(), &tmv);
    return n ? std::string(buf, n) : std::string();
}

std::string timeLeftText(double seconds)
{
    if (!(seconds >= 0) || std::isinf(seconds))
        return {};
    uint64_t s = seconds > 1e12 ? (uint64_t)1e12 : (uint64_t)(seconds + 0.5);
    std::string t;
    if (s < 60) {
        t = std::to_string(s < 1 ? 1 : s) + " s";
    } else if (s < 3600) {
        t = std::to_string((s + 30) / 60) + " min";
    } else {
        uint64_t m = (s + 30) / 60;
        t = std::to_string(m / 60) + " h";
        if (m % 60)
            t += " " + std::to_string(m % 60) + " min";
    }
    return "about " + t + " left";
}

std::string filesFoundText(uint64_t files)
{
    return std::to_string(files) + (files == 1 ? " file found" : " files found");
}

std::string scanProgressText(const Progress &p)
{
    static const char *const kDot = " \xc2\xb7 ";  // a middle dot between the parts
    std::string out;
    auto part = [&](const std::string &s) {
        if (s.empty())
            return;
        if (!out.empty())
            out += kDot;
        out += s;
    };
    if (p.bytesTotal)
        part(readableSize(p.bytesDone) + " of " + readableSize(p.bytesTotal));
    if (p.bytesPerSecond >= 1)
        part(readableSize((uint64_t)p.bytesPerSecond) + "/s");
    part(timeLeftText(p.secondsLeft));
    part(filesFoundText(p.files));
    return out;
}

}  // namespace salvitra
