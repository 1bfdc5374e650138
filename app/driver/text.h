// Text helpers shared by the front ends: sizes, JSON strings.
#pragma once

#include <cstdint>
#include <string>

namespace salvitra {

// "1.5 MiB", "512 B", ...
std::string humanSize(uint64_t bytes);
// A JSON string literal, quotes included; invalid UTF-8 bytes become U+FFFD.
std::string jsonString(const std::string &s);

}  // namespace salvitra
