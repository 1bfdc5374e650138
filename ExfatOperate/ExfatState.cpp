/*
 * The scan's state: set up by exfat_init, released by exfat_exit; the
 * search entry point and the result getters.
 */
#include "hollin_i.h"

#include <cstdlib>
#include <cstring>

namespace hollin {

State g_state;

namespace {

constexpr uint32_t kBootRegionSectors = 12;

void release(State &s)
{
    free_records(s);
    free(s.bitmap);
    if (s.fat.pages)
        for (uint32_t i = 0; i < kFatPages; i++)
            free(s.fat.pages[i]);
    free(s.fat.pages);
    free(s.fat.tags);
    free(s.dirBuf);
    free(s.claimed);
    set_free(&s.visited);
    set_free(&s.chain);
    runs_free(&s.scratch);
    runs_free(&s.loaded);
    runs_free(&s.readRuns);
    runs_free(&s.claimRuns);
    s = State{};
}

/* The main boot region when its checksum holds, else the backup's, else
 * the main one as it is. */
bool read_layout(State &s, Layout *out)
{
    uint8_t first[512];
    dev_read(s.dev, s.limit, 0, sizeof first, first);
    const uint8_t mainShift = first[108];
    auto *region = static_cast<uint8_t *>(MALLOC((4096u) * kBootRegionSectors));
    bool found = false;
    Layout main{};
    if (mainShift >= 9 && mainShift <= 12) {
        const uint32_t len = (1u << mainShift) * kBootRegionSectors;
        if (dev_read(s.dev, s.limit, 0, len, region) == OK &&
            boot_parse(sv_view_make(region, len), s.limit, &main) == BOOT_OK) {
            found = true;
            *out = main;
        }
    }
    // The backup follows the main region; with the main sector gone its
    // sector size is not known, so each one is tried.
    for (uint32_t shift = 9; shift <= 12 && (!found || !main.checksumOk); shift++) {
        const uint32_t len = (1u << shift) * kBootRegionSectors;
        Layout backup{};
        if (dev_read(s.dev, s.limit, len, len, region) == OK &&
            boot_parse(sv_view_make(region, len), s.limit, &backup) == BOOT_OK && backup.checksumOk &&
            backup.sectorShift == shift) {
            backup.backup = true;
            *out = backup;
            found = true;
            break;
        }
    }
    free(region);
    return found;
}

/* The allocation bitmap and up-case table entries of the root. */
void read_root_entries(State &s)
{
    const uint64_t bytes = dir_load(s, s.L.rootCluster, 0, false, false, false);
    const uint8_t *dir = s.dirBuf;
    bool haveBitmap = false;
    for (uint64_t off = 0; bytes - off >= kEntrySize; off += kEntrySize) {
        const uint8_t *e = dir + off;
        if (e[0] == 0x00)
            break;
        if (e[0] == 0x81 && !haveBitmap && (e[1] & 1) == s.L.activeFat) {
            bitmap_load(s, sv_ld_le32(e + 20), sv_ld_le64(e + 24), false);
            haveBitmap = true;
        } else if (e[0] == 0x82 && !s.upcaseCluster) {
            uint32_t c = sv_ld_le32(e + 20);
            s.upcaseCluster = cluster_valid(s.L, c) ? c : 0;
        }
    }
}

}  // namespace

}  // namespace hollin

using namespace hollin;

extern "C" HOLLIN_EXPORT bool exfat_init(Partiton_Struct *part)
{
    State &s = g_state;
    release(s);
    if (!part || part->FsType != FS_EXFAT || !part->Device)
        return false;
    s.part = part;
    s.dev = part->Device;
    s.limit = part->PartSize;
    Layout L;
    if (!read_layout(s, &L)) {
        release(s);
        return false;
    }
    s.L = L;
    read_root_entries(s);
    s.ready = true;
    return true;
}

extern "C" HOLLIN_EXPORT tagExfatFile *exfat_searchfile(int *fileCount, int *dirCount)
{
    State &s = g_state;
    // A new search starts from 0, but a stop requested already stays.
    sv_progress_begin();
    if (fileCount)
        *fileCount = 0;
    if (dirCount)
        *dirCount = 0;
    if (!s.ready) {
        progress_finish();
        return nullptr;
    }
    free_records(s);  // a second search replaces the first result
    set_free(&s.visited);
    s.planBudget = kPlanBudget;
    search_walk(s);
    if (fileCount)
        *fileCount = s.fileCount;
    if (dirCount)
        *dirCount = s.dirCount;
    progress_finish();
    return s.first;
}

extern "C" HOLLIN_EXPORT tagExfatFile *exfat_get_next(const tagExfatFile *rec)
{
    return rec ? rec->pNext : nullptr;
}

extern "C" HOLLIN_EXPORT tagExfatFile *exfat_get_parent(const tagExfatFile *rec)
{
    return rec ? rec->pParent : nullptr;
}

extern "C" HOLLIN_EXPORT uint64_t exfat_get_filesize(const tagExfatFile *rec)
{
    return rec ? rec->nSize : 0;
}

extern "C" HOLLIN_EXPORT uint32_t exfat_get_blocksize(void)
{
    return g_state.ready ? g_state.L.clusterSize : 0;
}

extern "C" HOLLIN_EXPORT void exfat_exit(void)
{
    release(g_state);
}
