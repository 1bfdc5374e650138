// The image-format table of the core library: a format whose library is
// missing from the build is refused with a reason that names the library,
// and such an image never becomes a device.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "DiskImage.h"
#include "merrow_i.h"

namespace {

TEST(ImageFormatTable, AFormatWithoutItsLibraryIsRefusedAndNamesTheLibrary)
{
    char path[] = "/tmp/sv-ewf-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    // An EnCase signature is all it takes to be taken for one.
    uint8_t head[4096] = {'E', 'V', 'F', 0x09, 0x0d, 0x0a, 0xff, 0x00};
    ASSERT_EQ(write(fd, head, sizeof head), (ssize_t)sizeof head);
    close(fd);
    EXPECT_EQ(sv_image_detect(path), &sv_image_ewf);

    sv_image_pretend_missing(&sv_image_ewf, true);
    char format[64], why[512];
    EXPECT_EQ(Salvitra_CheckDiskImage(path, format, sizeof format, why, sizeof why), -1);
    EXPECT_NE(std::string(why).find("EnCase Image files cannot be opened"), std::string::npos) << why;
    EXPECT_NE(std::string(why).find("without libewf"), std::string::npos) << why;
    int32_t readable = 1;
    const char *name = nullptr;
    for (int32_t i = 0; Salvitra_GetImageFormat(i, &name, nullptr, &readable) == 0; i++)
        if (std::string(name) == "EnCase Image")
            break;
    EXPECT_EQ(readable, 0);

    const char *images[] = {path};
    Salvitra_SetDiskImages(images, 1);
    FullDevStruct();
    EXPECT_EQ(GlobPointer, nullptr);
    FullDevStruct_exit();
    Salvitra_SetDiskImages(nullptr, 0);
    sv_image_pretend_missing(&sv_image_ewf, false);
    unlink(path);
}

}  // namespace
