// libmerrow and libtaskel carry the same NTFS scanner: each keeps its own
// volume and read state, so scans through both never disturb each other,
// and the driver's binding really reaches libtaskel.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <map>

#include "ntfs.h"
#include "ntfs_backend.h"
#include "ntfs_paths.h"
#include "ntfs_test_util.h"

using namespace svt;

namespace {

std::map<std::string, NTFS_DEL_FILEINFO_t *> byName(NTFS_DEL_FILEINFO_t *list)
{
    std::map<std::string, NTFS_DEL_FILEINFO_t *> m;
    for (NTFS_DEL_FILEINFO_t *p = list; p; p = p->pNextFile)
        m[recName(p)] = p;
    return m;
}

TEST(NtfsLibraries, TheDriverBindsLibtaskel)
{
    std::string why;
    const salvitra::TaskelApi *api = salvitra::taskelApi(&why);
    ASSERT_NE(api, nullptr) << why;
    EXPECT_NE(api->path.find("libtaskel.so"), std::string::npos);
    // The bound functions are libtaskel's, not libmerrow's of the same name.
    EXPECT_NE(reinterpret_cast<void *>(api->Initi_Ntfs_InFo), reinterpret_cast<void *>(&Initi_Ntfs_InFo));
    EXPECT_NE(reinterpret_cast<void *>(api->Ntfs_Get_Data), reinterpret_cast<void *>(&Ntfs_Get_Data));
    Dl_info info;
    ASSERT_NE(dladdr(reinterpret_cast<void *>(api->Ntfs_Get_Del_File), &info), 0);
    EXPECT_NE(std::string(info.dli_fname).find("libtaskel.so"), std::string::npos);
    ASSERT_NE(dladdr(reinterpret_cast<void *>(&Ntfs_Get_Del_File), &info), 0);
    EXPECT_NE(std::string(info.dli_fname).find("libmerrow.so"), std::string::npos);
    // Loaded locally: the process-wide lookup still finds libmerrow's copy.
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "Initi_Ntfs_InFo"), reinterpret_cast<void *>(&Initi_Ntfs_InFo));
}

TEST(NtfsLibraries, TwoScansSideBySideKeepTheirOwnState)
{
    NTFS_FIXTURE_OR_SKIP(dir, "ntfs");
    const salvitra::TaskelApi *api = salvitra::taskelApi();
    ASSERT_NE(api, nullptr);
    ImageSet set({dir + "/c4k.img", dir + "/c512.img"});
    ImagePartition a(set.device(0), 0, set.device(0)->DiskSize, FS_NTFS);
    ImagePartition b(set.device(1), 0, set.device(1)->DiskSize, FS_NTFS);

    // Volume A through libmerrow, volume B through libtaskel.
    ASSERT_TRUE(Initi_Ntfs_InFo(a.part()));
    ASSERT_TRUE(api->Initi_Ntfs_InFo(b.part()));
    NTFS_DEL_FILEINFO_t *listA = Ntfs_Get_Del_File();
    NTFS_DEL_FILEINFO_t *listB = api->Ntfs_Get_Del_File();
    auto fa = byName(listA), fb = byName(listB);
    ASSERT_TRUE(fa.count("big.bin") && fb.count("big.bin"));
    EXPECT_EQ(pk(fa["big.bin"]->nFileSize), 3145728u);
    EXPECT_EQ(pk(fb["big.bin"]->nFileSize), 1048576u);

    // Reads of the two files in turns: each library keeps its own open file.
    std::vector<uint8_t> wantA = readFile(dir + "/c4k/big.bin"), wantB = readFile(dir + "/c512/big.bin");
    std::vector<uint8_t> gotA, gotB, buf(4096);
    uint64_t ma = fa["big.bin"]->nMftNumber, mb = fb["big.bin"]->nMftNumber;
    for (size_t i = 0; i < wantB.size() / 4096; i++) {
        ASSERT_EQ(Ntfs_Get_Data(ma, buf.data(), 4096), 0);
        gotA.insert(gotA.end(), buf.begin(), buf.end());
        ASSERT_EQ(api->Ntfs_Get_Data(mb, buf.data(), 4096), 0);
        gotB.insert(gotB.end(), buf.begin(), buf.end());
    }
    EXPECT_TRUE(gotB == wantB);
    EXPECT_TRUE(std::equal(gotA.begin(), gotA.end(), wantA.begin()));

    // Releasing libtaskel's volume leaves libmerrow's open file reading on.
    api->Ntfs_RWfile_Set(1);
    api->NTFS_Free_Glod_Exit();
    api->NTFS_Free_File_Info(listB);
    std::vector<uint8_t> dummy(4096);
    EXPECT_EQ(api->Ntfs_Get_Data(mb, dummy.data(), 4096), 1);  // nothing set up in libtaskel any more
    while (gotA.size() < wantA.size()) {
        ASSERT_EQ(Ntfs_Get_Data(ma, buf.data(), 4096), 0);
        gotA.insert(gotA.end(), buf.begin(), buf.end());
    }
    EXPECT_TRUE(gotA == wantA);
    Ntfs_RWfile_Set(1);

    // Parent look-ups answer from each library's own volume.
    NTFS_MFT_ParentID_Name o;
    NTFS_DEL_FILEINFO_t *report = fa["report.txt"];
    ASSERT_NE(report, nullptr);
    EXPECT_TRUE(Ntfs_Get_NameParentID(pk(report->nMftNumber), &o));
    EXPECT_FALSE(api->Ntfs_Get_NameParentID(pk(report->nMftNumber), &o));

    NTFS_Free_Glod_Exit();
    NTFS_Free_File_Info(listA);
}

}  // namespace
