// Windows keeps the sharing rules itself, through the share modes of the
// runtime's _fsopen and _sopen: they are mandatory, and checked by the
// system against every other open of the file.
#include "platform.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <shellapi.h>

// The console's output code page as the caller left it, 0 without a
// console.
static UINT callersCodePage;

void prepareProcess()
{
    // The runtime keeps descriptors 0, 1 and 2 for the standard streams
    // even when the caller gave none, so the tool's files never take their
    // place; and Windows has neither SIGPIPE nor SIGXFSZ to end it.  What
    // is left is the console: it shows text in a code page of its own, the
    // OEM one by default, while paths and hence messages come in the
    // process's ANSI code page, UTF-8 under the manifest.  For the run the
    // console is set to the latter, so a name shows as it was typed.
    callersCodePage = GetConsoleOutputCP();
    if (callersCodePage != 0 && callersCodePage != GetACP())
        SetConsoleOutputCP(GetACP());
}

static void restoreConsole()
{
    if (callersCodePage != 0 && callersCodePage != GetConsoleOutputCP())
        SetConsoleOutputCP(callersCodePage);
}

static DWORD fileType(int fd)
{
    return GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
}

static bool isDisk(int fd)
{
    return fileType(fd) == FILE_TYPE_DISK;
}

// Whether `narrow` is exactly `wide` in the process's ANSI code page: no
// character replaced, none mapped to a look-alike.
static bool sameText(const wchar_t *wide, const char *narrow)
{
    const UINT codePage = GetACP();
    // UTF-8 has no best fit, only invalid text (a lone surrogate), and
    // takes no default-character flag.
    const DWORD flags =
        codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL replaced = FALSE;
    BOOL *replacedOrNone = codePage == CP_UTF8 ? nullptr : &replaced;
    int length = WideCharToMultiByte(codePage, flags, wide, -1, nullptr, 0,
                                     nullptr, replacedOrNone);
    if (length <= 0)
        return false;
    char *text = static_cast<char *>(malloc(static_cast<size_t>(length)));
    bool same = text != nullptr &&
                WideCharToMultiByte(codePage, flags, wide, -1, text, length,
                                    nullptr, replacedOrNone) == length &&
                !replaced && strcmp(text, narrow) == 0;
    free(text);
    return same;
}

// The runtime gives the command line in the ANSI code page, into which
// Windows maps each character the code page lacks to a "best fit": ā
// becomes a, a fullwidth backslash a real one, a fullwidth quote a real
// quote that splits the arguments anew.  A name so mapped would reach
// another file, so a path is used only when every argument that reads as
// it is exactly what the caller typed, and the arguments match the wide
// command line one for one.  Under the manifest's UTF-8 every name passes.
static bool givenExactly(const char *path)
{
    int wideCount = 0;
    LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &wideCount);
    if (wide == nullptr)
        return false;
    bool exact = wideCount == __argc;
    bool found = false;
    for (int i = 0; exact && i < __argc; i++) {
        if (strcmp(__argv[i], path) == 0) {
            found = true;
            exact = sameText(wide[i], __argv[i]);
        }
    }
    LocalFree(wide);
    return exact && found;
}

// The last component of a path, after any directory and drive.
static const wchar_t *lastComponent(const wchar_t *path)
{
    const wchar_t *last = path;
    if (path[0] != L'\0' && path[1] == L':')
        last = path + 2;
    for (const wchar_t *c = last; *c != L'\0'; c++) {
        if (*c == L'\\' || *c == L'/')
            last = c + 1;
    }
    return last;
}

// Windows opens these names as devices in any directory, and, up to
// Windows 10, also with any extension (nul.yuv, com1.txt) and trailing
// blanks.  Opening a serial or printer port has effects of its own, so
// they are refused before anything is opened.  NUL named as such is the
// null device, which an output may be.
enum NameKind { ordinaryName, nullDeviceName, deviceName };

static NameKind kindOfName(const char *path)
{
    int length = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    if (length <= 0)
        return deviceName;  // cannot tell, so not trusted
    wchar_t *wide =
        static_cast<wchar_t *>(malloc(sizeof(wchar_t) * size_t(length)));
    if (wide == nullptr ||
        MultiByteToWideChar(CP_ACP, 0, path, -1, wide, length) != length) {
        free(wide);
        return deviceName;
    }
    const wchar_t *name = lastComponent(wide);
    size_t stem = wcscspn(name, L".:");
    while (stem > 0 && name[stem - 1] == L' ')
        stem--;
    static const wchar_t *const devices[] = {
        L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$",
        L"COM0", L"COM1", L"COM2", L"COM3", L"COM4", L"COM5", L"COM6",
        L"COM7", L"COM8", L"COM9", L"COM\u00b9", L"COM\u00b2", L"COM\u00b3",
        L"LPT0", L"LPT1", L"LPT2", L"LPT3", L"LPT4", L"LPT5", L"LPT6",
        L"LPT7", L"LPT8", L"LPT9", L"LPT\u00b9", L"LPT\u00b2", L"LPT\u00b3"};
    NameKind kind = ordinaryName;
    for (const wchar_t *device : devices) {
        if (wcslen(device) == stem && _wcsnicmp(name, device, stem) == 0)
            kind = _wcsicmp(name, L"NUL") == 0 ? nullDeviceName : deviceName;
    }
    free(wide);
    return kind;
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
    if (!givenExactly(path))
        return nullptr;
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
    const NameKind kind = kindOfName(path);
    if (!givenExactly(path) || kind == deviceName)
        return nullptr;
    int fd = _sopen(path, _O_WRONLY | _O_CREAT | _O_BINARY, _SH_DENYRW,
                    _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return nullptr;
    // Whatever else opens as a device, a pipe or a console (a \\.\ name,
    // say) would take the frames where no file keeps them.
    const DWORD type = fileType(fd);
    if (type != FILE_TYPE_DISK &&
        !(type == FILE_TYPE_CHAR && kind == nullDeviceName)) {
        _close(fd);
        return nullptr;
    }
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

int finishProcess(int result)
{
    fflush(stdout);
    restoreConsole();
    // The status that Windows gives a console program ended by Ctrl-C.
    if (stopRequest != 0)
        ExitProcess(STATUS_CONTROL_C_EXIT);
    return result;
}
