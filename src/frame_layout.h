// The one file format of the tool: headerless yuv420p frames of a geometry
// fixed when the tool is built, stored back to back.  A frame is an opaque
// block of bytes here; only its size and its place in the file matter.
#ifndef FRAMERANGE_FRAME_LAYOUT_H
#define FRAMERANGE_FRAME_LAYOUT_H

#include <cstdint>

#ifndef FRAME_WIDTH
#define FRAME_WIDTH 1920
#endif
#ifndef FRAME_HEIGHT
#define FRAME_HEIGHT 1080
#endif

constexpr int32_t frameWidth = FRAME_WIDTH;
constexpr int32_t frameHeight = FRAME_HEIGHT;

// The build system checks these too, but a compiler run by hand must not
// slip past them: the frame size below is computed in 32 bits.
static_assert(frameWidth > 0 && frameHeight > 0,
              "frame width and height must each be a positive whole number");
static_assert(frameWidth % 2 == 0 && frameHeight % 2 == 0,
              "frame width and height must be even, or the half-size U and V "
              "planes are not whole");
static_assert(int64_t{frameWidth} * frameHeight * 3 <= INT32_MAX,
              "frame width x height x 3 must fit in a signed 32-bit integer");

// Y plane, then U and V planes of a quarter of its size each.  The product
// is formed in 32 bits and widened afterwards; the asserts above show that
// it cannot overflow and that the division is exact.
constexpr int64_t frameSize = (frameWidth * frameHeight * 3) / 2;

// Widened before the multiplication, so that every 32-bit frame number,
// also those far beyond 2 GiB and 4 GiB, has an exact position.
constexpr int64_t framePosition(int32_t frame)
{
    return int64_t{frame} * frameSize;
}

#endif
