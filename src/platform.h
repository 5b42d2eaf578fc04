// What the copy run needs of the operating system beyond the standard
// library: opening files with the sharing rules of the tool, memory for the
// frame buffers, and a 64-bit seek.  Each platform has its own source file;
// nothing else in the tool knows which platform it runs on.
#ifndef FRAMERANGE_PLATFORM_H
#define FRAMERANGE_PLATFORM_H

#include <cstdint>
#include <cstdio>

// Opens the input for binary reading.  Other readers are admitted while it
// is open, writers are not, and a file that someone already holds for
// writing is refused.  Directories are refused.  Returns nullptr on any
// failure.
FILE *openInputShared(const char *path);

// Opens the output for binary writing, creating it if missing and
// emptying it, for this run's use alone.  A file that is the input by any
// path, or that someone else holds open, is refused before anything in it
// changes.  Returns nullptr on any failure.
FILE *openOutputExclusive(const char *path, FILE *input);

// Takes the input and the output frame buffers, `size` bytes each, laid
// out so that whole frames move between them and the files as cheaply as
// the platform allows.  Returns false, having taken nothing, when the
// memory cannot be had.
bool takeFrameBuffers(int64_t size, unsigned char **input,
                      unsigned char **output);

// Gives back the buffers of takeFrameBuffers, taken with the same size.
void releaseFrameBuffers(int64_t size, unsigned char *input,
                         unsigned char *output);

// Positions the input at a byte offset from its start.  An offset that no
// file on the input's file system can reach leaves the input at its end, so
// that the next read finds nothing, as it would just past the last frame.
// Returns false only when the input cannot be positioned at all (a pipe).
bool seekInput(FILE *input, int64_t position);

#endif
