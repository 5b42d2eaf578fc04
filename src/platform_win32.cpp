// Windows keeps the sharing rules itself, through the share modes of the
// runtime's _fsopen: they are mandatory, and checked by the system against
// every other open of the file.
#include "platform.h"

#include <cstdlib>
#include <io.h>
#include <share.h>
#include <windows.h>

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
    // any path fails here with a sharing violation, and the system refuses
    // such an open before it truncates anything.
    return unbuffered(_fsopen(path, "wb", _SH_DENYRW));
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

void releaseFrameBuffers(int64_t, unsigned char *input, unsigned char *output)
{
    free(output);
    free(input);
}

bool seekInput(FILE *input, int64_t position)
{
    // The runtime leaves the outcome of a seek on a pipe or a device
    // undefined, so only a disk file is positioned at all.
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(input)));
    if (GetFileType(handle) != FILE_TYPE_DISK)
        return false;
    // Windows lets a file be positioned anywhere below 2^63, so a far frame
    // simply reads as nothing.  Should the system refuse a position all the
    // same, the end of the file serves: the frame lies beyond it.
    return _fseeki64(input, position, SEEK_SET) == 0 ||
           _fseeki64(input, 0, SEEK_END) == 0;
}
