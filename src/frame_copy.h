#ifndef FRAMERANGE_FRAME_COPY_H
#define FRAMERANGE_FRAME_COPY_H

#include <cstdint>

// Copies up to numFrames whole frames, beginning at frame startFrame of
// the input file filename, into the output file filename2, with progress
// and a final count on standard output.  Returns the run result: 0 when
// the copy took place, also when the input ran out of frames early; 1 when
// a file could not be opened or a buffer taken, or when the input could not
// be positioned, read, or the output written.
int copyFrameRange(const char *filename, const char *filename2,
                   int32_t startFrame, int32_t numFrames);

#endif
