// Windows keeps the sharing rules itself, through the share modes of the
// runtime's _fsopen: they are mandatory, and checked by the system against
// every other open of the file.
#include "platform.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

void prepareProcess()
{
    // The runtime keeps descriptors 0, 1 and 2 for the standard streams
    // even when the caller gave none, so the tool's files never take their
    // place; and Windows has neither SIGPIPE nor SIGXFSZ to end it.
}

static bool isDisk(int fd)
{
    return GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd))) ==
           FILE_TYPE_DISK;
}

// Unbuffered, so that fread and fwrite of a whole frame go straight to one
// ReadFile and one WriteFile between the file and the frame buffer.
static FILE *unbuffered(FILE *stream)
{
    if (stream != nullptr)
        setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

FILE *openInputShared(const char *path)
{
    // Denying write access also fails the open when a program already has
    // the file open for writing.  Directories do not open as files.
    return unbuffered(_fsopen(path, "rb", _SH_DENYWR));
}

FILE *openOutputExclusive(const char *path, FILE *)
{
    // The input is open with writers denied, so an output that names it by
    // any path fails here with a sharing violation; so does a file that
    // standard output was redirected to, which the shell holds open for
    // writing.  Not truncated on opening: emptyOutput does that.
    int fd = _sopen(path, _O_WRONLY | _O_CREAT | _O_BINARY, _SH_DENYRW,
                    _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return nullptr;
    FILE *stream = _fdopen(fd, "wb");
    if (stream == nullptr)
        _close(fd);
    return unbuffered(stream);
}

bool emptyOutput(FILE *output)
{
    int fd = _fileno(output);
    return !isDisk(fd) || _chsize_s(fd, 0) == 0;
}

// Large pages need a privilege that ordinary accounts lack, so the frame
// buffers come from the heap.
bool takeFrameBuffers(int64_t size, unsigned char **input,
                      unsigned char **output)
{
    *input = static_cast<unsigned char *>(malloc(static_cast<size_t>(size)));
    *output = static_cast<unsigned char *>(malloc(static_cast<size_t>(size)));
    if (*input != nullptr && *output != nullptr)
        return true;
    free(*output);
    free(*input);
    return false;
}

void releaseFrameBuffers(unsigned char *input, unsigned char *output)
{
    free(output);
    free(input);
}

bool seekInput(FILE *input, int64_t position)
{
    // The runtime leaves the outcome of a seek on a pipe or a device
    // undefined, so only a disk file is positioned at all.
    if (!isDisk(_fileno(input)))
        return false;
    // Windows lets a file be positioned anywhere below 2^63, so a far frame
    // simply reads as nothing.  Should the system refuse a position all the
    // same, the end of the file serves: the frame lies beyond it.
    return _fseeki64(input, position, SEEK_SET) == 0 ||
           _fseeki64(input, 0, SEEK_END) == 0;
}

static volatile sig_atomic_t stopRequest;

// The runtime calls this on a thread of its own, and puts the default back
// first, so that a second Ctrl-C ends the tool at once.
static void noteStopRequest(int signal)
{
    stopRequest = signal;
}

void catchInterruptions()
{
    signal(SIGINT, noteStopRequest);
    signal(SIGBREAK, noteStopRequest);
}

int interruption()
{
    return stopRequest;
}

void endByInterruption(int)
{
    fflush(stdout);
    // The status that Windows gives a console program ended by Ctrl-C.
    ExitProcess(STATUS_CONTROL_C_EXIT);
}
