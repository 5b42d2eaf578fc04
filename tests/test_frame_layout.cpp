#include <gtest/gtest.h>

#include "frame_layout.h"

namespace {

// Frames whose positions cross the 32-bit boundaries, for any geometry.
constexpr int32_t firstFrameBeyond(int64_t limit)
{
    return static_cast<int32_t>(limit / frameSize + 1);
}

TEST(FrameLayout, PlanesAreWholeAndTheFrameSizeMatchesThem)
{
    const int64_t luma = int64_t{frameWidth} * frameHeight;
    EXPECT_EQ(luma % 4, 0);
    EXPECT_EQ(frameSize, luma + 2 * (luma / 4));
}

TEST(FrameLayout, DefaultGeometryPositions)
{
    if (frameWidth != 1920 || frameHeight != 1080)
        GTEST_SKIP() << "positions below are for 1920x1080";
    EXPECT_EQ(frameSize, 3110400);
    const struct {
        int32_t frame;
        int64_t position;
    } cases[] = {
        {0, 0},
        {1, 3110400},
        {2, 6220800},
        {100, 311040000},
        {690, 2146176000},
        {691, 2149286400},
        {1380, 4292352000},
        {1381, 4295462400},
        {-1, -3110400},
    };
    for (const auto &c : cases)
        EXPECT_EQ(framePosition(c.frame), c.position) << "frame " << c.frame;
}

TEST(FrameLayout, PositionsCross2GiBAnd4GiBWithoutWrapping)
{
    for (int64_t limit : {int64_t{INT32_MAX}, int64_t{UINT32_MAX}}) {
        const int32_t beyond = firstFrameBeyond(limit);
        EXPECT_LE(framePosition(beyond - 1), limit);
        EXPECT_GT(framePosition(beyond), limit);
        EXPECT_EQ(framePosition(beyond) - framePosition(beyond - 1), frameSize);
    }
    EXPECT_EQ(framePosition(INT32_MAX) / frameSize, INT32_MAX);
    EXPECT_EQ(framePosition(INT32_MIN) / frameSize, INT32_MIN);
}

} // namespace
