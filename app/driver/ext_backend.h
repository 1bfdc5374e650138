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
struct Ext3JournalFile;

namespace salvitra {

// Name shown for an ext2 find: the library's "LostFile(3)" with the
// extension guessed from its data, "LostFile(3).jpg"; unchanged without one.
std::string lostFileDisplayName(const std::string &name, const char *ext);

// Entries of a block list that name no block: holes, and blocks behind a
// pointer block that could not be read.  Both are written as zeros.
uint64_t unlocatedBlocks(const uint32_t *list, uint64_t count);

// True when every entry of an ext2 block list that names no block is a
// hole: the 512-byte units the inode says it holds (i_blocks) are exactly
// its located data blocks and the pointer blocks above them, so no pointer
// block was lost.
bool holesOnly(const uint32_t *list, uint64_t count, uint32_t blockSize, uint64_t sectors);

// What the user is told about an ext2 find with `unlocated` of `count` data
// blocks missing ("" when nothing is worth saying); holes: they are the
// holes of a sparse file.
std::string ext2Note(uint64_t size, uint64_t count, uint64_t unlocated, bool fastSymlink,
                     bool hasList, bool holes = false);

// Writes one ext2 find: exactly its size in bytes, block by block from its
// block list (one ext2_readfile call per entry, the last block cut), holes
// and unreadable blocks as zeros (the latter counted in stats).  A short
// symbolic link's target is written from the inode.
WriteResult DelExt2Recovery(Ext2FileNode *file, const WriteDest &dest, WriteStats &stats,
                            const std::function<bool()> &gate = {});

// The folder of an ext3 directory node inside the volume ("" for the root,
// "photos/2023" below it), from its parent chain.
std::string ext3FolderPath(const Ext3DirNode *node);

// The folder of ext3/ext4 finds whose name or folder is lost.
constexpr const char *kLostFilesFolder = "lost files";

// Where an ext3/ext4 file brought back from the journal is shown: its
// folder and name when both are known, else "lost files" with its name,
// or with its inode number and the extension its data starts with.
void ext3JournalPlace(uint32_t inode, const char *name, const char *folder, const char *ext,
                      std::string *outFolder, std::string *outName);

// What the user is told about such a file ("" when it is whole).
std::string ext3JournalNote(uint64_t size, uint64_t reused, uint64_t missing);

// Writes one such file: exactly its size, holes and blocks that another
// file holds now as zeros; blocks the device cannot read are counted.
WriteResult DelExt3Recovery(Ext3JournalFile *file, const WriteDest &dest, WriteStats &stats,
                            const std::function<bool()> &gate = {});


}  // namespace salvitra
