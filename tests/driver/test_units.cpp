// Sizes, dates and progress as the window and the command line show them.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>

#include "job.h"
#include "units.h"

using namespace salvitra;

TEST(Units, SizesHaveThreeSignificantDigitsInUnitsOf1024)
{
    EXPECT_EQ(readableSize(0), "0 bytes");
    EXPECT_EQ(readableSize(1), "1 byte");
    EXPECT_EQ(readableSize(999), "999 bytes");
    EXPECT_EQ(readableSize(1023), "1.00 KB");
    EXPECT_EQ(readableSize(1024), "1.00 KB");
    EXPECT_EQ(readableSize(18569), "18.1 KB");
    EXPECT_EQ(readableSize(33ull << 20), "33.0 MB");
    EXPECT_EQ(readableSize(48ull << 30), "48.0 GB");
    EXPECT_EQ(readableSize(3965190144ull), "3.69 GB");
    EXPECT_EQ(readableSize(512ull << 10), "512 KB");
    // Never four digits: 1000 KB and up is a fraction of the next unit.
    EXPECT_EQ(readableSize(1023ull << 10), "1.00 MB");
    EXPECT_EQ(readableSize(1000ull << 10), "0.98 MB");
    EXPECT_EQ(readableSize(10229), "9.99 KB");
    EXPECT_EQ(readableSize(10235), "10.0 KB");
    EXPECT_EQ(readableSize(UINT64_MAX), "16.0 EB");
    EXPECT_EQ(exactBytes(18569), "18,569 bytes");
    EXPECT_EQ(exactBytes(1), "1 byte");
    EXPECT_EQ(exactBytes(51539607552ull), "51,539,607,552 bytes");
}

TEST(Units, DatesCarryTheYearAndUnknownIsEmpty)
{
    setenv("TZ", "UTC", 1);
    tzset();
    setlocale(LC_TIME, "C");
    EXPECT_EQ(dateText(1623752430), "2021-06-15 10:20");
    EXPECT_EQ(dateText(-1), "");
    if (setlocale(LC_TIME, "en_US.UTF-8")) {
        EXPECT_EQ(dateText(1623752430), "06/15/2021 10:20 AM");
    }
    if (setlocale(LC_TIME, "en_GB.UTF-8")) {
        EXPECT_EQ(dateText(1623752430), "15/06/2021 10:20");
    }
    setlocale(LC_TIME, "C");
}

TEST(Units, ScanProgressSaysWhatIsKnown)
{
    Progress p;
    p.bytesTotal = 48ull << 30;
    p.bytesDone = (uint64_t)(12.3 * (1ull << 30));
    p.bytesPerSecond = 1.2 * (1ull << 30);
    p.secondsLeft = 30;
    p.files = 7;
    EXPECT_EQ(scanProgressText(p), "12.3 GB of 48.0 GB \xc2\xb7 1.20 GB/s \xc2\xb7 about 30 s left \xc2\xb7 7 files found");
    p.bytesPerSecond = 0;
    p.secondsLeft = -1;
    p.files = 1;
    EXPECT_EQ(scanProgressText(p), "12.3 GB of 48.0 GB \xc2\xb7 1 file found");
    EXPECT_EQ(timeLeftText(250), "about 4 min left");
    EXPECT_EQ(timeLeftText(7500), "about 2 h 5 min left");
    EXPECT_EQ(timeLeftText(-1), "");
}
