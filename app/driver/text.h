// Text helpers shared by the front ends: sizes, names made visible, JSON strings.
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
// Characters that change how a name looks without being seen: direction
// marks, embeddings, overrides and isolates, zero-width characters, the
// line and paragraph separators.
bool misleadingChar(uint32_t cp);
// A run of this many spaces or more is shown counted ("\x20{40}").
constexpr size_t kLongSpaceRun = 4;
// Text from a medium made visible and safe for a terminal or a window:
// control characters (C0, DEL, C1), the misleading characters above and
// bytes that are not valid UTF-8 are shown escaped ("\n", "\x1b", "\xff",
// "\u202e"), a backslash as "\\" and a long run of spaces counted, so a
// file name can neither move the cursor, ring, recolour, fake a line of
// output, hide its real extension nor look blank.  Every text line a front
// end prints, and every name the window shows, goes through it.
std::string termText(const std::string &s);
// s with every misleading character replaced by '_' (*changed, when given,
// is set when one was): for names written to the output.
std::string replaceMisleading(const std::string &s, bool *changed = nullptr);
// A JSON string literal, quotes included; invalid UTF-8 bytes become U+FFFD.
std::string jsonString(const std::string &s);

}  // namespace salvitra
