// Drives named as people know them, from what the disk service says.
#include <gtest/gtest.h>

#include "device_access.h"

using namespace salvitra;

TEST(DriveNames, VendorModelAndTheSizeAsTheMakerStatesIt)
{
    DriveFacts f;
    f.known = true;
    f.vendor = "SanDisk";
    f.model = "Ultra USB 3.0";
    EXPECT_EQ(driveDisplayName(f, 64000000000ull, "SanDisk Ultra"), "SanDisk Ultra USB 3.0 \xe2\x80\x94 64.0 GB");
    // The vendor once, also when the model repeats it; ATA and NVMe disks
    // often have a model only.
    f.model = "SANDISK Ultra Fit";
    EXPECT_EQ(driveDisplayName(f, 31914983424ull, ""), "SANDISK Ultra Fit \xe2\x80\x94 31.9 GB");
    f.vendor.clear();
    f.model = "Samsung SSD 870 EVO 1TB";
    EXPECT_EQ(driveDisplayName(f, 1000204886016ull, ""), "Samsung SSD 870 EVO 1TB \xe2\x80\x94 1.0 TB");
    // A loop device by its file; no medium: no size.
    DriveFacts loop;
    loop.known = true;
    loop.backingFile = "/srv/images/card.img";
    EXPECT_EQ(driveDisplayName(loop, 8388608, "/dev/loop3"), "card.img \xe2\x80\x94 8.4 MB");
    EXPECT_EQ(driveDisplayName(f, 0, ""), "Samsung SSD 870 EVO 1TB");
    // Unknown to the service (images, no udisks2): the name as it was.
    EXPECT_EQ(driveDisplayName(DriveFacts(), 8388608, "Disk Image card.img"), "Disk Image card.img");
    EXPECT_EQ(driveSizeText(999), "999 bytes");
    EXPECT_EQ(driveSizeText(999999), "1.0 MB");
}
