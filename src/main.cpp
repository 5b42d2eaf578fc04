// framerange: cuts a run of whole frames out of a raw yuv420p file.
#include <cstdint>
#include <cstdio>

#include "decimal.h"
#include "frame_copy.h"
#include "platform.h"

static int32_t startFrame;
static int32_t numFrames;

static void printUsage()
{
    printf("Creates a .yuv file given\n");
    printf("Parameter 1: input filename (yuv420p format) with .yuv extension\n");
    printf("Parameter 2: starting frame number \n");
    printf("Parameter 3: number of frames to copy\n");
    printf("Parameter 4: output filename with .yuv extension\n");
}

int main(int argc, char *argv[])
{
    prepareProcess();
    printf("Zorvik Plandry (10-29-2014)\n");
    // Seen before any file is opened: opening a FIFO waits for its peer.
    fflush(stdout);
    int result = 1;
    if (argc != 5) {
        printUsage();
    } else {
        startFrame = parseDecimal(argv[2]);
        numFrames = parseDecimal(argv[3]);
        result = copyFrameRange(argv[1], argv[4], startFrame, numFrames);
    }
    return finishProcess(result);
}
