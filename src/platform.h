// What the tool needs of the operating system beyond the standard library:
// a process whose standard streams and signals cannot corrupt a cut,
// opening files with the sharing rules of the tool, memory for the frame
// buffers, and a 64-bit seek.  Each platform has its own source file;
// nothing else in the tool knows which platform it runs on.
#ifndef FRAMERANGE_PLATFORM_H
#define FRAMERANGE_PLATFORM_H

#include <cstdint>
#include <cstdio>

// Called first thing.  Opens the null device on any of the standard
// descriptors that the caller left closed, so that no file of the tool's
// own can take the place of standard output and receive console text.  A
// console that nobody reads any more, and a write past a size limit, then
// fail as errors the tool sees, instead of ending it.  A console shows
// the paths in messages as they were typed.
void prepareProcess();

// Paths are taken as the runtime gives them; one that would reach another
// file than the caller named (Windows maps characters outside its code
// page to look-alikes) is refused by both opens.

// Opens the input for binary reading.  Other readers are admitted while it
// is open, writers are not, and a file that someone already holds for
// writing is refused.  Directories are refused.  Returns nullptr on any
// failure.
FILE *openInputShared(const char *path);

// Opens the output for binary writing, creating it if missing, for this
// run's use alone.  A file that is the input or standard output by any
// path, or that someone else holds open, is refused; so, on Windows, is
// any device but the null device (a serial port, a console).  Nothing in an
// existing file changes here: emptyOutput does that once the copy is sure
// to start.  Returns nullptr on any failure.
FILE *openOutputExclusive(const char *path, FILE *input);

// Empties an output of openOutputExclusive that is a file, giving back the
// space it held; a device or a pipe is left as it is.  Returns false when
// that fails.
bool emptyOutput(FILE *output);

// Takes the input and the output frame buffers, `size` bytes each, laid
// out so that whole frames move between them and the files as cheaply as
// the platform allows.  Returns false, having taken nothing, when the
// memory cannot be had.
bool takeFrameBuffers(int64_t size, unsigned char **input,
                      unsigned char **output);

// Gives back the buffers of takeFrameBuffers.
void releaseFrameBuffers(unsigned char *input, unsigned char *output);

// Positions the input at a byte offset from its start.  An offset that no
// file on the input's file system can reach leaves the input at its end, so
// that the next read finds nothing, as it would just past the last frame.
// Returns false only when the input cannot be positioned at all (a pipe).
bool seekInput(FILE *input, int64_t position);

// From here on, a request to stop (Ctrl-C; on POSIX also SIGTERM and
// SIGHUP) ends no call half done: it is only noted, for the copy to read
// between frames.
void catchInterruptions();

// The request to stop noted since catchInterruptions, 0 if none.
int interruption();

// Called last, with the run result.  Puts back what prepareProcess
// changed outside the process, and returns the result as the exit status;
// a run stopped on request instead ends as the request would have ended
// it, had it not been caught, so that the caller sees the interruption.
int finishProcess(int result);

#endif
