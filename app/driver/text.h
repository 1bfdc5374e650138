// Text helpers shared by the front ends: sizes, JSON strings.
#pragma once

#include <cstdint>
#include <string>

namespace salvitra {

// "1.5 MiB", "512 B", ...
std::string humanSize(uint64_t bytes);
// Appends code point cp in UTF-8 (anything that is not a Unicode scalar
// value becomes U+FFFD).
void appendUtf8(std::string &out, uint32_t cp);
// UTF-16LE bytes (units code units, possibly unaligned) as UTF-8; unpaired
// surrogates and a zero unit become U+FFFD.
std::string utf16leToUtf8(const void *bytes, size_t units);
// The lower-case extension of a file name ("Photo.JPG" -> "jpg"); empty
// for names without one (".bashrc", "noext", "dot.").
std::string extensionOf(const std::string &name);
// A JSON string literal, quotes included; invalid UTF-8 bytes become U+FFFD.
std::string jsonString(const std::string &s);

}  // namespace salvitra
