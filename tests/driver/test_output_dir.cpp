// The output side: nothing written through links, full and read-only
// disks reported as the system says and never leaving a truncated file
// under its name, an unwritable folder found before anything happens, the
// scanned medium recognised by identity, and text that is safe to print.
#include <gtest/gtest.h>

#include <dirent.h>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "output_dir.h"
#include "test_support.h"
#include "text.h"

using salvitra::OutputDir;
using salvitra::OutputError;
using salvitra::OutputFile;
using svt::TempDir;

namespace {

bool exists(const std::string &p)
{
    struct stat sb;
    return lstat(p.c_str(), &sb) == 0;
}

// A mount made for one test and undone after it.
class Mount {
public:
    Mount(const std::string &cmd, const std::string &dir) : dir_(dir)
    {
        svt::CommandResult r = svt::run(cmd + " 2>&1");
        ok_ = r.status == 0;
        why_ = r.out + r.err;
    }
    ~Mount()
    {
        if (ok_ && svt::run("umount " + svt::shellQuote(dir_) + " 2>/dev/null").status != 0)
            svt::run("fusermount3 -u " + svt::shellQuote(dir_) + " 2>/dev/null");
    }
    bool ok() const { return ok_; }
    const std::string &why() const { return why_; }

private:
    std::string dir_;
    bool ok_ = false;
    std::string why_;
};

#define SKIP_UNLESS_MOUNTED(m)                                                              \
    if (!(m).ok())                                                                          \
    GTEST_SKIP() << "this machine does not allow the mount (tests run as root here): " << (m).why()

std::string copyImage(const TempDir &t, const std::string &name)
{
    std::string src = svt::fixture("output_media") + "/" + name;
    std::string dst = t.file(name);
    svt::writeFile(dst, svt::readFile(src));
    return dst;
}

// Runs fn in a child that has dropped root for the nobody user: its exit
// status is fn's result.
int asNobody(const std::function<int()> &fn)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(99);
        _exit(fn());
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST(OutputDir, NothingIsWrittenThroughALink)
{
    TempDir t;
    std::string out = t.file("out"), elsewhere = t.file("elsewhere");
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
    OutputDir dir;
    OutputError err;
    ASSERT_TRUE(dir.open(out + "/recovered", &err)) << err.text; // missing parents are made
    // A folder of the medium's tree that is a link to another folder...
    ASSERT_EQ(symlink(elsewhere.c_str(), (out + "/recovered/Photos").c_str()), 0);
    OutputFile f;
    EXPECT_FALSE(dir.create("Photos/a.jpg", 10, f, &err));
    EXPECT_NE(err.text.find("symbolic link"), std::string::npos) << err.text;
    EXPECT_FALSE(err.repeats); // the next file may go elsewhere
    // ...and a file name taken by a dangling link: a new name, the link's
    // target never made.
    ASSERT_EQ(symlink(t.file("target.txt").c_str(), (out + "/recovered/b.txt").c_str()), 0);
    ASSERT_TRUE(dir.create("b.txt", 3, f, &err)) << err.text;
    // Written as NAME.partial from the first byte, named once whole.
    ASSERT_TRUE(salvitra::writeAll(f, "abc", 3, &err));
    EXPECT_TRUE(exists(out + "/recovered/b.txt.partial"));
    EXPECT_TRUE(dir.finish(f, true, 1000000000, false, &err));
    EXPECT_EQ(f.relPath, "b (1).txt");
    EXPECT_FALSE(exists(out + "/recovered/b.txt.partial"));
    EXPECT_FALSE(exists(t.file("target.txt")));
    EXPECT_EQ(svt::readFile(out + "/recovered/b (1).txt"), (std::vector<uint8_t>{'a', 'b', 'c'}));
    struct stat sb;
    ASSERT_EQ(stat((out + "/recovered/b (1).txt").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mtime, 1000000000);
    // Nested folders are made once and reused; "." and ".." never name one.
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(dir.create("x/y/z/" + std::to_string(i), 1, f, &err)) << err.text;
        dir.finish(f, true, -1, false, &err);
    }
    EXPECT_TRUE(exists(out + "/recovered/x/y/z/2"));
    // A .partial left by an earlier run is never touched; a name taken
    // while the file was written is not taken over.
    svt::writeFile(out + "/recovered/c.txt.partial", {9});
    ASSERT_TRUE(dir.create("c.txt", 1, f, &err, false)) << err.text;
    EXPECT_EQ(f.name, "c (1).txt.partial");
    svt::writeFile(out + "/recovered/c.txt", {8});
    EXPECT_FALSE(dir.finish(f, true, -1, false, &err));
    EXPECT_EQ(err.errnum, EEXIST);
    EXPECT_TRUE(exists(out + "/recovered/c (1).txt.partial")) << "a whole file without its name is kept";
    ASSERT_TRUE(dir.create("c.txt", 1, f, &err)) << err.text;
    EXPECT_EQ(f.relPath, "c (2).txt");
    svt::writeFile(out + "/recovered/c (2).txt", {7});
    EXPECT_TRUE(dir.finish(f, true, -1, false, &err));
    EXPECT_EQ(f.relPath, "c (2) (1).txt");
    EXPECT_EQ(svt::readFile(out + "/recovered/c.txt.partial"), std::vector<uint8_t>{9});
    EXPECT_FALSE(dir.create("x/../../escape", 1, f, &err));
    EXPECT_FALSE(exists(out + "/escape"));
    DIR *d = opendir(elsewhere.c_str());
    int entries = 0;
    while (struct dirent *e = readdir(d))
        entries += e->d_name[0] != '.';
    closedir(d);
    EXPECT_EQ(entries, 0);
}

TEST(OutputDir, AFullDiskIsReportedAndNoTruncatedFileKeepsItsName)
{
    TempDir t;
    std::string mnt = t.file("small");
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    Mount m("mount -t tmpfs -o size=1m tmpfs " + svt::shellQuote(mnt), mnt);
    SKIP_UNLESS_MOUNTED(m);
    OutputDir dir;
    OutputError err;
    ASSERT_TRUE(dir.open(mnt, &err));
    ASSERT_TRUE(dir.checkWritable(&err)) << err.text;

    // A file larger than the free space is refused before it is created.
    OutputFile f;
    EXPECT_FALSE(dir.create("big.bin", 4u << 20, f, &err));
    EXPECT_NE(err.text.find("No space left on device"), std::string::npos) << err.text;
    EXPECT_TRUE(err.repeats);
    EXPECT_FALSE(exists(mnt + "/big.bin"));

    // A file that fits when it starts but not when it ends (the disk filled
    // meanwhile): removed, or kept as NAME.partial when asked.
    std::vector<uint8_t> chunk(64 * 1024, 0x5A);
    for (bool keep : {false, true}) {
        err = OutputError();
        ASSERT_TRUE(dir.create("clip.mp4", 512 * 1024, f, &err)) << err.text;
        bool whole = true;
        for (int i = 0; i < 40 && whole; i++)
            whole = salvitra::writeAll(f, chunk.data(), chunk.size(), &err);
        ASSERT_FALSE(whole);
        EXPECT_EQ(err.errnum, ENOSPC);
        EXPECT_NE(err.text.find("No space left on device"), std::string::npos) << err.text;
        EXPECT_TRUE(err.repeats);
        std::string kept;
        OutputError closeErr;
        EXPECT_FALSE(dir.finish(f, false, -1, keep, &closeErr, &kept));
        EXPECT_FALSE(exists(mnt + "/clip.mp4"));
        if (keep) {
            EXPECT_EQ(kept, "clip.mp4.partial");
            EXPECT_TRUE(exists(mnt + "/clip.mp4.partial"));
        }
    }
}

// ntfs-3g refuses renameat2's RENAME_NOREPLACE: a whole file still gets
// its name there, and still never over a file that took it meanwhile.
TEST(OutputDir, WholeFilesAreNamedWhereTheNoReplaceFlagIsRefused)
{
    TempDir t;
    const std::string media = svt::fixture("output_media");
    if (!exists(media + "/ntfs.img") || !svt::haveTool("ntfs-3g"))
        GTEST_SKIP() << "mkntfs or ntfs-3g is missing";
    std::string img = copyImage(t, "ntfs.img");
    std::string mnt = t.file("mnt");
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    Mount m("ntfs-3g " + svt::shellQuote(img) + " " + svt::shellQuote(mnt), mnt);
    SKIP_UNLESS_MOUNTED(m);
    OutputDir dir;
    OutputError err;
    ASSERT_TRUE(dir.open(mnt + "/out", &err)) << err.text;
    OutputFile f;
    for (const char *want : {"a.jpg", "a (1).jpg"}) {
        ASSERT_TRUE(dir.create("a.jpg", 3, f, &err)) << err.text;
        ASSERT_TRUE(salvitra::writeAll(f, "abc", 3, &err));
        EXPECT_TRUE(dir.finish(f, true, -1, false, &err)) << err.text;
        EXPECT_EQ(f.relPath, want);
        EXPECT_EQ(svt::readFile(mnt + "/out/" + f.relPath), (std::vector<uint8_t>{'a', 'b', 'c'}));
        EXPECT_FALSE(exists(mnt + "/out/" + f.name));
    }
    EXPECT_EQ(svt::readFile(mnt + "/out/a.jpg"), (std::vector<uint8_t>{'a', 'b', 'c'}));
}

TEST(OutputDir, AFolderThatCannotBeWrittenIsFoundBeforeAnythingIsWritten)
{
    TempDir t;
    std::string ro = t.file("ro");
    ASSERT_EQ(mkdir(ro.c_str(), 0755), 0);
    {
        Mount m("mount -t tmpfs -o ro,size=1m tmpfs " + svt::shellQuote(ro), ro);
        SKIP_UNLESS_MOUNTED(m);
        OutputDir dir;
        OutputError err;
        ASSERT_TRUE(dir.open(ro, &err));
        EXPECT_FALSE(dir.checkWritable(&err));
        EXPECT_NE(err.text.find("Read-only file system"), std::string::npos) << err.text;
        EXPECT_TRUE(err.repeats);
    }
    // A folder owned by root, as an ordinary user sees it.
    std::string mine = t.file("roots");
    ASSERT_EQ(mkdir(mine.c_str(), 0755), 0);
    chmod(t.path().c_str(), 0755);
    if (geteuid() != 0)
        GTEST_SKIP() << "dropping to another user needs root";
    int status = asNobody([&] {
        OutputDir dir;
        OutputError err;
        if (!dir.open(mine + "/sub", &err))
            return err.text.find("Permission denied") != std::string::npos ? 10 : 11;
        return 12;
    });
    EXPECT_EQ(status, 10);
    status = asNobody([&] {
        OutputDir dir;
        OutputError err;
        if (!dir.open(mine, &err))
            return 13;
        if (dir.checkWritable(&err))
            return 14;
        return err.text.find("Permission denied") != std::string::npos && err.repeats ? 10 : 15;
    });
    EXPECT_EQ(status, 10);
}

// The scanned image mounted through a hard link, through a loop device
// named as the scanned device, and through FUSE: each output folder inside
// is refused, and nothing is created on the way.
TEST(ScannedMedium, RecognisedByIdentityWhateverItIsCalled)
{
    TempDir t;
    chmod(t.path().c_str(), 0755);
    std::string img = copyImage(t, "ext2.img");
    std::string link = t.file("same-image.img");
    ASSERT_EQ(::link(img.c_str(), link.c_str()), 0);
    std::string mnt = t.file("mnt");
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    std::string why;
    {
        Mount m("mount -o loop " + svt::shellQuote(link) + " " + svt::shellQuote(mnt), mnt);
        SKIP_UNLESS_MOUNTED(m);
        std::string out = mnt + "/recovered/photos";
        EXPECT_TRUE(salvitra::outputOnScannedMedium(out, img, &why));
        EXPECT_NE(why.find("/dev/loop"), std::string::npos) << why;
        EXPECT_FALSE(exists(mnt + "/recovered"));
        // The loop device itself named as the scanned device.
        std::string dev = svt::run("findmnt -n -o SOURCE " + svt::shellQuote(mnt)).out;
        while (!dev.empty() && dev.back() == '\n')
            dev.pop_back();
        ASSERT_EQ(dev.rfind("/dev/loop", 0), 0u) << dev;
        EXPECT_TRUE(salvitra::outputOnScannedMedium(mnt, dev, &why));
        // Another image, or a folder beside the image, is fine.
        std::string other = copyImage(t, "exfat.img");
        EXPECT_FALSE(salvitra::outputOnScannedMedium(mnt + "/x", other, &why)) << why;
        EXPECT_FALSE(salvitra::outputOnScannedMedium(t.file("beside"), img, &why)) << why;
    }
    // FUSE: ntfs-3g straight from a hard link of the image (the mount
    // names the file), exfat-fuse through a loop device of another link.
    const std::string media = svt::fixture("output_media");
    if (exists(media + "/ntfs.img") && svt::haveTool("ntfs-3g")) {
        std::string nt = copyImage(t, "ntfs.img");
        std::string ntLink = t.file("ntfs-link.img");
        ASSERT_EQ(::link(nt.c_str(), ntLink.c_str()), 0);
        Mount fuse("ntfs-3g " + svt::shellQuote(ntLink) + " " + svt::shellQuote(mnt), mnt);
        SKIP_UNLESS_MOUNTED(fuse);
        EXPECT_TRUE(salvitra::outputOnScannedMedium(mnt + "/out", nt, &why)) << "FUSE source not recognised";
        EXPECT_NE(why.find("ntfs-link.img"), std::string::npos) << why;
        EXPECT_FALSE(salvitra::outputOnScannedMedium(mnt + "/out", img, &why)) << why;
    }
    if (exists(media + "/exfat.img") && svt::haveTool("mount.exfat-fuse") && svt::haveTool("losetup")) {
        std::string ex = copyImage(t, "exfat.img");
        std::string exLink = t.file("exfat-link.img");
        ASSERT_EQ(::link(ex.c_str(), exLink.c_str()), 0);
        svt::CommandResult lo = svt::run("losetup -f --show " + svt::shellQuote(exLink));
        std::string loop = lo.out.substr(0, lo.out.find('\n'));
        if (lo.status != 0)
            GTEST_SKIP() << "no loop device: " << lo.err;
        {
            Mount fuse("mount.exfat-fuse " + loop + " " + svt::shellQuote(mnt), mnt);
            if (fuse.ok()) {
                EXPECT_TRUE(salvitra::outputOnScannedMedium(mnt + "/out", ex, &why));
                EXPECT_TRUE(salvitra::outputOnScannedMedium(mnt + "/out", loop, &why));
            }
        }
        svt::run("losetup -d " + loop);
    }
}

// The copy every writer shares: large whole-unit reads, zeros (never stale
// bytes) for what cannot be read, a tail that is all unreadable given up.
TEST(CopyInto, WholeUnitReadsZerosForBadPiecesAndAnUnreadableTailGivenUp)
{
    TempDir t;
    OutputDir dir;
    OutputError err;
    ASSERT_TRUE(dir.open(t.file("out"), &err));
    const uint32_t unit = 4096;
    const std::vector<uint8_t> data = svt::patternBytes((3u << 20) + 100, 3);
    struct Source {
        const std::vector<uint8_t> &data;
        uint64_t pos = 0;
        uint64_t badFrom = UINT64_MAX, badTo = UINT64_MAX; // [from, to) cannot be read
        std::vector<uint32_t> asked;
        int64_t operator()(uint8_t *buf, uint32_t len, salvitra::ReadGaps &)
        {
            asked.push_back(len);
            uint64_t at = pos;
            pos += len;
            memset(buf, 0xEE, len); // what a failing reader might leave behind
            if (at < badTo && at + len > badFrom) {
                if (badFrom <= at)
                    return -1;
                memcpy(buf, data.data() + at, badFrom - at); // the readable start of the piece
                return (int64_t)(badFrom - at);
            }
            memcpy(buf, data.data() + at, len);
            return len;
        }
    };
    auto copy = [&](Source &src, uint64_t size, salvitra::CopyStats &st, uint64_t giveUp) {
        OutputFile f;
        EXPECT_TRUE(dir.create("f.bin", size, f, &err)) << err.text;
        bool whole = salvitra::copyInto(f, size, salvitra::copyPiece(unit, size), std::ref(src), st, {}, giveUp);
        dir.finish(f, true, -1, false, &err);
        auto out = svt::readFile(t.file("out/") + f.relPath);
        unlink((t.file("out/") + f.relPath).c_str());
        EXPECT_EQ(whole, !st.cutShort && !st.stopped);
        return out;
    };

    Source all{data};
    salvitra::CopyStats st;
    EXPECT_EQ(copy(all, data.size(), st, 1u << 20), data);
    EXPECT_EQ(st.unreadablePieces, 0u);
    for (size_t i = 0; i < all.asked.size(); i++) {
        EXPECT_LE(all.asked[i], 1u << 20);
        EXPECT_TRUE(i + 1 == all.asked.size() || all.asked[i] % unit == 0);
    }
    EXPECT_EQ(all.asked.size(), 4u); // three pieces of 1 MiB, then the rest

    // A bad stretch inside: zeros there, the rest intact.
    Source mid{data};
    mid.badFrom = (1u << 20) + 10;
    mid.badTo = (2u << 20);
    st = {};
    auto out = copy(mid, data.size(), st, 4u << 20);
    std::vector<uint8_t> want = data;
    std::fill(want.begin() + mid.badFrom, want.begin() + mid.badTo, 0);
    EXPECT_EQ(out, want);
    EXPECT_EQ(st.unreadableBytes, mid.badTo - mid.badFrom);
    EXPECT_FALSE(st.nothingRead());

    // Unreadable from 1.5 MiB to the end: kept up to there, marked cut short.
    Source tail{data};
    tail.badFrom = (3u << 20) / 2;
    tail.badTo = UINT64_MAX;
    st = {};
    out = copy(tail, data.size(), st, 1u << 20);
    EXPECT_TRUE(st.cutShort);
    EXPECT_EQ(out, std::vector<uint8_t>(data.begin(), data.begin() + tail.badFrom));
    EXPECT_EQ(st.bytes, tail.badFrom);

    // Nothing readable at all, and a small file asks for no more than it is.
    Source none{data};
    none.badFrom = 0;
    st = {};
    copy(none, 10000, st, 0);
    EXPECT_TRUE(st.nothingRead());
    Source small{data};
    st = {};
    copy(small, 100, st, 0);
    EXPECT_EQ(small.asked, std::vector<uint32_t>{100});

    std::string why;
    EXPECT_EQ(salvitra::sizeCappedByMedium(4ull << 30, 16u << 20, &why), 16u << 20);
    EXPECT_EQ(why, "listed as 4294967296 bytes on a medium of 16777216: cut to the medium's size");
}

TEST(TerminalText, EveryControlAndInvalidByteIsShownEscaped)
{
    using salvitra::termText;
    EXPECT_EQ(termText("photo 1.jpg"), "photo 1.jpg");
    EXPECT_EQ(termText("caf\xC3\xA9 \xE6\x97\xA5.txt"), "caf\xC3\xA9 \xE6\x97\xA5.txt");
    // a fake summary line, an escape sequence, a bell, a carriage return
    EXPECT_EQ(termText("a\nRecovered 999 files"), "a\\nRecovered 999 files");
    EXPECT_EQ(termText("\x1b[2J\x07x\r"), "\\x1b[2J\\x07x\\r");
    EXPECT_EQ(termText("back\\slash\x7f"), "back\\\\slash\\x7f");
    // C1 CSI in UTF-8, a right-to-left override, invalid and overlong bytes
    EXPECT_EQ(termText("\xC2\x9B" "31m"), "\\u009b31m");
    EXPECT_EQ(termText("gpj.\xE2\x80\xAE" "exe"), "gpj.\\u202eexe");
    EXPECT_EQ(termText("\xFF\xC0\x9B\xED\xA0\x80"), "\\xff\\xc0\\x9b\\xed\\xa0\\x80");
    EXPECT_EQ(termText("cut \xE6\x97"), "cut \\xe6\\x97");
    // Nothing shows blank or hides the real end of a name: zero-width
    // characters, separators, marks, and long runs of spaces counted.
    EXPECT_EQ(termText("\xE2\x80\x8B"), "\\u200b");
    EXPECT_EQ(termText("a\xE2\x80\x8C\xE2\x80\x8D\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\x8F\xEF\xBB\xBF"),
              "a\\u200c\\u200d\\u2028\\u2029\\u200f\\ufeff");
    EXPECT_EQ(termText("photo.jpg" + std::string(40, ' ') + ".exe"), "photo.jpg\\x20{40}.exe");
    EXPECT_EQ(termText("two  spaces"), "two  spaces");
    // Written names show what they are.
    bool changed = false;
    EXPECT_EQ(salvitra::replaceMisleading("holiday\xE2\x80\xAEgpj.exe", &changed), "holiday_gpj.exe");
    EXPECT_TRUE(changed);
    changed = false;
    EXPECT_EQ(salvitra::replaceMisleading("caf\xC3\xA9.jpg", &changed), "caf\xC3\xA9.jpg");
    EXPECT_FALSE(changed);
}

}  // namespace
