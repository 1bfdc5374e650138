// Progress value, allocation-unit query, allocator and callback registry.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "merrow.h"

namespace {

TEST(Progress, AccessorsStoreAndStopValue)
{
    FullDevStruct();  // creates the mutex and resets the value
    EXPECT_EQ(get_ExportsData(), 0);
    changeExportsData(42);
    EXPECT_EQ(get_ExportsData(), 42);
    EXPECT_TRUE(sv_progress_running());
    set_ExportsData(false);
    EXPECT_EQ(get_ExportsData(), 200);
    EXPECT_FALSE(sv_progress_running());
    set_ExportsData(true);
    EXPECT_EQ(get_ExportsData(), 0);
    sv_progress_add(7);
    EXPECT_EQ(ExportsData, 7);
    changeExportsData(100);
    EXPECT_FALSE(sv_progress_running());
    FullDevStruct_exit();
}

// The scanners' own moves of the value never overwrite a stop: the start
// of a search keeps a stop requested during the set-up, increments stop
// short of "finished", and the end of a search leaves a stop as it is.
TEST(Progress, AStopIsNeverOverwrittenByAScanner)
{
    changeExportsData(57);
    sv_progress_begin();
    EXPECT_EQ(get_ExportsData(), 0);
    changeExportsData(100);
    sv_progress_begin();
    EXPECT_EQ(get_ExportsData(), 0) << "a finished value starts again";
    set_ExportsData(false);
    sv_progress_begin();
    EXPECT_EQ(get_ExportsData(), 200);

    changeExportsData(98);
    sv_progress_add(5);
    EXPECT_EQ(get_ExportsData(), 99) << "an increment never ends a scan";
    set_ExportsData(false);
    sv_progress_add(1);
    EXPECT_EQ(get_ExportsData(), 200);

    sv_progress_finish();
    EXPECT_EQ(get_ExportsData(), 200) << "a stop is not turned into finished";
    changeExportsData(40);
    sv_progress_finish();
    EXPECT_EQ(get_ExportsData(), 100);
    changeExportsData(0);
}

TEST(Blocksize, ComesFromTheBootDataByFileSystem)
{
    std::vector<uint8_t> boot(1024, 0);
    Partiton_Struct p{};
    p.BootData = boot.data();

    // FAT32, 8 sectors per cluster of 512 bytes.
    p.FsType = FS_FAT32;
    boot[11] = 0x00;
    boot[12] = 0x02;
    boot[13] = 8;
    EXPECT_EQ(get_blocksize(&p), 4096u);
    p.FsType = FS_NTFS;
    boot[13] = 1;
    EXPECT_EQ(get_blocksize(&p), 512u);

    // HFS: big-endian at 20; HFS+ and HFSX: big-endian at 40.
    p.FsType = FS_HFS;
    boot[20] = 0;
    boot[21] = 0;
    boot[22] = 0x10;
    boot[23] = 0;
    EXPECT_EQ(get_blocksize(&p), 4096u);
    p.FsType = FS_HFSPLUS;
    boot[40] = 0;
    boot[41] = 0;
    boot[42] = 0x20;
    boot[43] = 0;
    EXPECT_EQ(get_blocksize(&p), 8192u);
    p.FsType = FS_HFSX;
    EXPECT_EQ(get_blocksize(&p), 8192u);

    for (int t : {FS_EXT2, FS_EXT3, FS_EXT4, FS_EXFAT, FS_UNKNOWN}) {
        p.FsType = t;
        EXPECT_EQ(get_blocksize(&p), 0u) << t;
    }
    EXPECT_EQ(get_blocksize(nullptr), 0u);
    p.BootData = nullptr;
    p.FsType = FS_FAT32;
    EXPECT_EQ(get_blocksize(&p), 0u);
}

TEST(Allocator, ZeroFilledAndDiesOnZeroBytes)
{
    auto *p = static_cast<uint8_t *>(MALLOC(4096));
    for (int i = 0; i < 4096; i++)
        ASSERT_EQ(p[i], 0);
    free(p);
    EXPECT_EXIT(MALLOC(0), ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(CONVERSION32(0x11223344u), 0x44332211u);
    EXPECT_EQ(CONVERSION16(0x1122), 0x2211);
}

void cbA(void *, SCAN_TYPE, void *) {}
void cbB(void *, SCAN_TYPE, void *) {}

TEST(CallbackRegistry, DeduplicatesAndRemovesByContext)
{
    int ctx1 = 0, ctx2 = 0;
    AddFoundFileCallBack(cbA, &ctx1);
    AddFoundFileCallBack(cbA, &ctx1);  // same pair: kept once
    EXPECT_EQ(g_callbackVec.count, 1u);
    AddFoundFileCallBack(cbA, &ctx2);  // another context: added
    AddFoundFileCallBack(cbB, &ctx1);  // another function: added
    EXPECT_EQ(g_callbackVec.count, 3u);
    for (int i = 0; i < 20; i++)        // growth keeps earlier entries
        AddFoundFileCallBack(cbB, reinterpret_cast<void *>(static_cast<intptr_t>(1000 + i)));
    EXPECT_EQ(g_callbackVec.count, 23u);
    EXPECT_EQ(g_callbackVec.items[0].function, &cbA);
    EXPECT_EQ(g_callbackVec.items[0].context, &ctx1);

    // ctx1 registered twice in a row (cbA, cbB): both go.
    RemoveFoundFileCallback(&ctx1);
    EXPECT_EQ(g_callbackVec.count, 21u);
    for (uint32_t i = 0; i < g_callbackVec.count; i++)
        EXPECT_NE(g_callbackVec.items[i].context, &ctx1);
    RemoveFoundFileCallback(&ctx2);
    for (int i = 0; i < 20; i++)
        RemoveFoundFileCallback(reinterpret_cast<void *>(static_cast<intptr_t>(1000 + i)));
    EXPECT_EQ(g_callbackVec.count, 0u);
}

}  // namespace
