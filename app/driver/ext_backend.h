// The ext2 and ext3 quick-scan backends: writer and the pure helpers that
// turn the libraries' records into FoundFile entries.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "scan.h"
#include "text.h"

struct Ext2FileNode;
struct Ext3DirNode;

namespace salvitra {

// Name shown for an ext2 find: the library's "LostFile(3)" with the
// extension guessed from its data, "LostFile(3).jpg"; unchanged without one.
std::string lostFileDisplayName(const std::string &name, const char *ext);

// Entries of a block list that name no block: holes, and blocks behind a
// pointer block that could not be read.  Both are written as zeros.
uint64_t unlocatedBlocks(const uint32_t *list, uint64_t count);

// What the user is told about an ext2 find with `unlocated` of `count` data
// blocks missing ("" when nothing is worth saying).
std::string ext2Note(uint64_t size, uint64_t count, uint64_t unlocated, bool fastSymlink,
                     bool hasList);

// Writes one ext2 find: exactly its size in bytes, block by block from its
// block list (one ext2_readfile call per entry, the last block cut), holes
// and unreadable blocks as zeros (the latter counted in stats).  A short
// symbolic link's target is written from the inode.
WriteResult DelExt2Recovery(Ext2FileNode *file, const std::string &path, WriteStats &stats,
                            const std::function<bool()> &gate = {});

// The folder of an ext3 directory node inside the volume ("" for the root,
// "photos/2023" below it), from its parent chain.
std::string ext3FolderPath(const Ext3DirNode *node);


}  // namespace salvitra
