// File types recognised by their first bytes, for files found without a
// name (ext2 inodes): "LostFile(3)" is shown as "LostFile(3).jpg".
#pragma once

#include <cstddef>
#include <cstdint>

namespace salvitra {

// The usual extension (lower case, no dot) of data starting with these
// bytes, or null when no common signature matches.  Only the bytes given
// are looked at; a signature that needs more of them does not match.
const char *guessExtension(const uint8_t *data, size_t len);

}  // namespace salvitra
