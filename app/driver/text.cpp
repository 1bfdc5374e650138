#include "text.h"

#include <cstdio>

namespace salvitra {

std::string humanSize(uint64_t bytes)
{
    static const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double v = (double)bytes;
    int u = 0;
    while (v >= 1024.0 && u < 5) {
        v /= 1024.0;
        u++;
    }
    char buf[32];
    snprintf(buf, sizeof buf, v < 10 ? "%.2f %s" : v < 100 ? "%.1f %s" : "%.0f %s", v, units[u]);
    return buf;
}

std::string extensionOf(const std::string &name)
{
    size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size())
        return "";
    std::string ext = name.substr(dot + 1);
    for (char &c : ext)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return ext;
}

void appendUtf8(std::string &out, uint32_t cp)
{
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
    if (cp < 0x80) {
        out += (char)cp;
    } else if (cp < 0x800) {
        out += (char)(0xC0 | (cp >> 6));
        out += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += (char)(0xE0 | (cp >> 12));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    } else {
        out += (char)(0xF0 | (cp >> 18));
        out += (char)(0x80 | ((cp >> 12) & 0x3F));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    }
}

std::string utf16leToUtf8(const void *bytes, size_t units)
{
    const uint8_t *b = static_cast<const uint8_t *>(bytes);
    std::string out;
    out.reserve(units);
    for (size_t i = 0; i < units; i++) {
        uint32_t u = (uint32_t)b[2 * i] | ((uint32_t)b[2 * i + 1] << 8);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            uint32_t lo = (uint32_t)b[2 * i + 2] | ((uint32_t)b[2 * i + 3] << 8);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                i++;
                continue;
            }
        }
        if ((u >= 0xD800 && u <= 0xDFFF) || u == 0)
            u = 0xFFFD;
        appendUtf8(out, u);
    }
    return out;
}

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0.
size_t utf8Length(const std::string &s, size_t i)
{
    unsigned char c = (unsigned char)s[i];
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    for (size_t k = 1; k < n; k++)
        if (((unsigned char)s[i + k] & 0xC0) != 0x80)
            return 0;
    return n;
}

// The code point of the well-formed UTF-8 sequence at s[i] (no overlong
// forms, no surrogates) and its length in *n; false when there is none.
bool decodeUtf8(const std::string &s, size_t i, uint32_t *cp, size_t *n)
{
    size_t len = utf8Length(s, i);
    if (len == 0)
        return false;
    const unsigned char *p = (const unsigned char *)s.data() + i;
    uint32_t v;
    if (len == 1)
        v = p[0];
    else if (len == 2)
        v = (uint32_t)(p[0] & 0x1F) << 6 | (p[1] & 0x3F);
    else if (len == 3)
        v = (uint32_t)(p[0] & 0x0F) << 12 | (uint32_t)(p[1] & 0x3F) << 6 | (p[2] & 0x3F);
    else
        v = (uint32_t)(p[0] & 0x07) << 18 | (uint32_t)(p[1] & 0x3F) << 12 | (uint32_t)(p[2] & 0x3F) << 6 |
            (p[3] & 0x3F);
    static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < kMin[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
        return false;
    *cp = v;
    *n = len;
    return true;
}

}  // namespace

bool misleadingChar(uint32_t cp)
{
    return cp == 0x061C ||                   // Arabic letter mark
           (cp >= 0x200B && cp <= 0x200F) || // zero-width space, non-joiner, joiner; LRM, RLM
           cp == 0x2028 || cp == 0x2029 ||   // line and paragraph separators
           (cp >= 0x202A && cp <= 0x202E) || // embeddings and overrides
           (cp >= 0x2060 && cp <= 0x2064) || // word joiner, invisible operators
           (cp >= 0x2066 && cp <= 0x2069) || // isolates
           cp == 0xFEFF;                     // zero-width no-break space
}

std::string termText(const std::string &s)
{
    std::string out;
    out.reserve(s.size());
    char buf[32];
    for (size_t i = 0; i < s.size();) {
        uint32_t cp;
        size_t n;
        if (!decodeUtf8(s, i, &cp, &n)) {
            snprintf(buf, sizeof buf, "\\x%02x", (unsigned char)s[i]);
            out += buf;
            i++;
            continue;
        }
        if (cp == ' ') {
            // A long run of spaces can push the end of a name (its real
            // extension) out of sight: shown counted.
            size_t run = 1;
            while (i + run < s.size() && s[i + run] == ' ')
                run++;
            if (run >= kLongSpaceRun) {
                snprintf(buf, sizeof buf, "\\x20{%zu}", run);
                out += buf;
            } else {
                out.append(run, ' ');
            }
            i += run;
            continue;
        }
        if (cp == '\\') {
            out += "\\\\";
        } else if (cp == '\n') {
            out += "\\n";
        } else if (cp == '\r') {
            out += "\\r";
        } else if (cp == '\t') {
            out += "\\t";
        } else if (cp < 0x20 || cp == 0x7F) {
            snprintf(buf, sizeof buf, "\\x%02x", cp);
            out += buf;
        } else if ((cp >= 0x80 && cp <= 0x9F) || misleadingChar(cp)) {
            snprintf(buf, sizeof buf, "\\u%04x", cp);
            out += buf;
        } else {
            out.append(s, i, n);
        }
        i += n;
    }
    return out;
}

std::string replaceMisleading(const std::string &s, bool *changed)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        uint32_t cp = 0;
        size_t n = 0;
        if (!decodeUtf8(s, i, &cp, &n)) {
            out += s[i++];
            continue;
        }
        if (misleadingChar(cp)) {
            out += '_';
            if (changed)
                *changed = true;
        } else {
            out.append(s, i, n);
        }
        i += n;
    }
    return out;
}

std::string jsonString(const std::string &s)
{
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        size_t n = utf8Length(s, i);
        if (n == 0) {
            out += "\\ufffd";
            i++;
            continue;
        }
        if (n > 1) {
            out.append(s, i, n);
            i += n;
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += (char)c;
            }
        }
        i++;
    }
    out += "\"";
    return out;
}

}  // namespace salvitra
