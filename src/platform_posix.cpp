// Linux has no share modes.  The sharing rules are kept for regular files
// in three ways.  When a file is opened, a lease tells whether any other
// program has it open at all, whether or not that program takes locks.
// For the whole run, flock(2) locks and open-file-description record locks
// (shared on the input, exclusive on the output) keep out the programs that
// take either kind of lock, and other runs of the tool.  Pipes, FIFOs,
// sockets and devices have a reader and a writer by nature, or keep
// nothing: no rule applies to them.
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) \
    ((void)(address), (void)(size))
#endif

static_assert(sizeof(off_t) == 8, "the input is positioned with a 64-bit off_t");

void prepareProcess()
{
    // open() returns the lowest free descriptor, so going up from 0 each
    // closed one is filled in its place.  Should /dev/null be missing, the
    // output's check against standard output still refuses a file that
    // took descriptor 1.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    // A lease, held for a moment when a file is opened, is broken by any
    // program that opens the file in that moment, and the notice is SIGIO,
    // whose default ends the process.
    signal(SIGIO, SIG_IGN);
}

static bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

static bool isNullDevice(const struct stat &info)
{
    struct stat null;
    return S_ISCHR(info.st_mode) && stat("/dev/null", &null) == 0 &&
           S_ISCHR(null.st_mode) && info.st_rdev == null.st_rdev;
}

// A lease cannot be had while another program holds the file open in a
// way that conflicts with it: a read lease while anyone has it open for
// writing, a write lease while anyone else has it open at all.  It is
// given back at once, since held it would make other programs' opens
// wait.  Leases are granted only to the file's owner (or with CAP_LEASE)
// and not on every file system; where the question cannot be asked, the
// locks alone keep the rules, so only a real conflict refuses the file.
static bool noConflictingOpen(int fd, int lease)
{
    if (fcntl(fd, F_SETLEASE, lease) == 0) {
        fcntl(fd, F_SETLEASE, F_UNLCK);
        return true;
    }
    return errno != EAGAIN;
}

// A lock held by another program is what refuses the file.  A file system
// that cannot lock at all (some network mounts) cannot keep anyone out, so
// the file is used without a lock rather than refused.
static bool lockOrRefuse(int fd, int operation)
{
    if (flock(fd, operation | LOCK_NB) == 0)
        return true;
    return errno != EWOULDBLOCK;
}

// Record locks are a kind of their own, unseen by flock(2): lockf(3) and
// fcntl(2) users take these.  Those of an open file description, not of
// the process, so that they hold like the flock(2) locks.
static bool recordLockOrRefuse(int fd, short type)
{
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;  // from 0, with l_len 0: the whole file
    if (fcntl(fd, F_OFD_SETLK, &lock) == 0)
        return true;
    return errno != EAGAIN && errno != EACCES;
}

static bool keepSharingRules(int fd, bool writing)
{
    return lockOrRefuse(fd, writing ? LOCK_EX : LOCK_SH) &&
           recordLockOrRefuse(fd, writing ? F_WRLCK : F_RDLCK) &&
           noConflictingOpen(fd, writing ? F_WRLCK : F_RDLCK);
}

// Unbuffered, so that fread and fwrite of a whole frame go straight to one
// read(2) and one write(2) between the file and the frame buffer, with no
// copy through a stream buffer.
static FILE *streamOver(int fd, const char *mode)
{
    FILE *stream = fdopen(fd, mode);
    if (stream == nullptr) {
        close(fd);
        return nullptr;
    }
    setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

FILE *openInputShared(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode) ||
        (S_ISREG(info.st_mode) && !keepSharingRules(fd, false))) {
        close(fd);
        return nullptr;
    }
    return streamOver(fd, "rb");
}

FILE *openOutputExclusive(const char *path, FILE *input)
{
    // No O_TRUNC: the file may yet turn out to be the input, or someone
    // else's, and must then be left as it is.
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;

    struct stat in, out, console;
    bool usable = fstat(fileno(input), &in) == 0 && fstat(fd, &out) == 0;
    // Device and inode name the file whatever path reached it: the same
    // path, "..", a symbolic or a hard link, /dev/stdout.
    usable = usable && !sameFile(in, out);
    // Frames and console text must never mix, in a file, a pipe or on a
    // terminal.  The null device keeps nothing, so nothing can mix there.
    usable = usable && !(fstat(STDOUT_FILENO, &console) == 0 &&
                         sameFile(console, out) && !isNullDevice(out));
    usable = usable && (!S_ISREG(out.st_mode) || keepSharingRules(fd, true));
    if (!usable) {
        close(fd);
        return nullptr;
    }
    return streamOver(fd, "wb");
}

bool emptyOutput(FILE *output)
{
    int fd = fileno(output);
    struct stat info;
    if (fstat(fd, &info) != 0)
        return false;
    // Devices and pipes have no length to cut.  Cutting a file that holds
    // nothing is not free: ext4 then takes it for a file being replaced,
    // and makes its close wait while the new contents are allocated on
    // disk.  A file that is empty but holds space set aside for it
    // (fallocate --keep-size) is cut all the same, to give that space back.
    if (!S_ISREG(info.st_mode) || (info.st_size == 0 && info.st_blocks == 0))
        return true;
    return ftruncate(fd, 0) == 0;
}

// The kernel's copies between the page cache and the frame buffers, and
// the copy from one buffer to the other, cost less when the buffers sit on
// transparent huge pages (fewer TLB misses and page walks): a cut measured
// some 15% faster, which brings it within a few per cent of dd's copy
// through one buffer.  A huge page is used only where all of its 2 MiB lies
// inside the mapping, so the buffers start on a 2 MiB boundary, and both
// share one run of huge pages: two frames of 1080p fill three huge pages
// almost exactly, where apart they would take two each.  The mapping is
// reserved with a huge page to spare, so that such a boundary lies inside
// it wherever the kernel puts it, and it is kept and given back whole.
static const size_t hugePage = size_t{2} << 20;
static unsigned char *reservation;
static size_t reservationLength;

static size_t roundUp(size_t size, size_t unit)
{
    return (size + unit - 1) / unit * unit;
}

bool takeFrameBuffers(int64_t size, unsigned char **input,
                      unsigned char **output)
{
    const size_t length = static_cast<size_t>(size);
    const size_t stride =
        roundUp(length, static_cast<size_t>(sysconf(_SC_PAGESIZE)));
    const size_t used = roundUp(2 * stride, hugePage);
    void *area = mmap(nullptr, used + hugePage, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED)
        return false;
    reservation = static_cast<unsigned char *>(area);
    reservationLength = used + hugePage;
    const uintptr_t first = reinterpret_cast<uintptr_t>(area);
    unsigned char *start =
        reservation + (roundUp(first, hugePage) - first);
    // Only advice: without huge pages the buffers work all the same.
    madvise(start, used, MADV_HUGEPAGE);
    *input = start;
    *output = start + stride;
    // Under AddressSanitizer every byte outside the two buffers is
    // poisoned, so that a copy running past either one is reported
    // rather than landing unseen in the slack.
    ASAN_POISON_MEMORY_REGION(reservation, reservationLength);
    ASAN_UNPOISON_MEMORY_REGION(*input, length);
    ASAN_UNPOISON_MEMORY_REGION(*output, length);
    return true;
}

void releaseFrameBuffers(unsigned char *, unsigned char *)
{
    ASAN_UNPOISON_MEMORY_REGION(reservation, reservationLength);
    munmap(reservation, reservationLength);
    reservation = nullptr;
}

bool seekInput(FILE *input, int64_t position)
{
    // An offset refused as beyond what the file system can hold (EINVAL on
    // ext4 past 16 TiB, say) lies past the end of this file too.  Only an
    // input that cannot seek at all, a pipe, fails to reach its end as well.
    return fseeko(input, position, SEEK_SET) == 0 ||
           fseeko(input, 0, SEEK_END) == 0;
}

static volatile sig_atomic_t stopRequest;

static void noteStopRequest(int signal)
{
    stopRequest = signal;
}

void catchInterruptions()
{
    struct sigaction action = {};
    action.sa_handler = noteStopRequest;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read that waits for a pipe or a terminal, or a
    // write that waits for a pipe's reader, is cut short with nothing
    // moved, so that a request to stop is not held up by a peer that
    // never comes.  A file's reads and writes are never cut short.
    action.sa_flags = 0;
    static const int requests[] = {SIGINT, SIGTERM, SIGHUP};
    for (int signal : requests) {
        struct sigaction before;
        // Left ignored where the caller ignores it (nohup, a background
        // job of a shell without job control).
        if (sigaction(signal, nullptr, &before) == 0 &&
            before.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
}

int interruption()
{
    return stopRequest;
}

int finishProcess(int result)
{
    if (stopRequest == 0)
        return result;
    // raise() ends the process without the flush that a return from main
    // would do.
    fflush(stdout);
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(stopRequest, &action, nullptr);
    raise(stopRequest);
    return result;
}
