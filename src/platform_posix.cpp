// POSIX has no share modes.  The sharing rules are kept with flock(2)
// locks, taken without waiting: a shared lock on the input and an
// exclusive one on the output.  Such locks are advisory, so they keep out
// exactly the programs that take them too (flock(1), another framerange),
// and no others.
#include "platform.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static_assert(sizeof(off_t) == 8, "the input is positioned with a 64-bit off_t");

// A lock held by another program is what refuses the file.  A file system
// that cannot lock at all (some network mounts) cannot keep anyone out, so
// the file is used without a lock rather than refused.
static bool lockOrRefuse(int fd, int operation)
{
    if (flock(fd, operation | LOCK_NB) == 0)
        return true;
    return errno != EWOULDBLOCK;
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
        !lockOrRefuse(fd, LOCK_SH)) {
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

    struct stat in, out;
    bool usable = fstat(fileno(input), &in) == 0 && fstat(fd, &out) == 0;
    // Device and inode name the file whatever path reached it: the same
    // path, "..", a symbolic or a hard link.
    usable = usable && !(in.st_dev == out.st_dev && in.st_ino == out.st_ino);
    usable = usable && lockOrRefuse(fd, LOCK_EX);
    // Only a regular file with something in it is emptied; /dev/null and
    // other devices have no length to cut.  Cutting a file that is already
    // empty is not free: ext4 then takes it for a file being replaced, and
    // makes its close wait while the new contents are allocated on disk.
    usable = usable && (!S_ISREG(out.st_mode) || out.st_size == 0 ||
                        ftruncate(fd, 0) == 0);
    if (!usable) {
        close(fd);
        return nullptr;
    }
    return streamOver(fd, "wb");
}

// The kernel's copies between the page cache and the frame buffers, and
// the copy from one buffer to the other, cost less when the buffers sit on
// transparent huge pages (fewer TLB misses and page walks): a cut measured
// some 15% faster, which brings it within a few per cent of dd's copy
// through one buffer.  A huge page is used only where all of its 2 MiB lies
// inside the mapping, so the mapping starts on a 2 MiB boundary and ends
// on one, and both buffers share it: two frames of 1080p fill three huge
// pages almost exactly, where apart they would take two each.
static const size_t hugePage = size_t{2} << 20;

static size_t roundUp(size_t size, size_t unit)
{
    return (size + unit - 1) / unit * unit;
}

static size_t bufferLength(int64_t size)
{
    return roundUp(static_cast<size_t>(size),
                   static_cast<size_t>(sysconf(_SC_PAGESIZE)));
}

static size_t mappingLength(int64_t size)
{
    return roundUp(2 * bufferLength(size), hugePage);
}

bool takeFrameBuffers(int64_t size, unsigned char **input,
                      unsigned char **output)
{
    const size_t length = mappingLength(size);
    // Reserved with room to slide the start onto a 2 MiB boundary; what
    // lies outside the aligned part is given back at once.
    const size_t reserved = length + hugePage;
    void *area = mmap(nullptr, reserved, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED)
        return false;
    const uintptr_t first = reinterpret_cast<uintptr_t>(area);
    const uintptr_t start = roundUp(first, hugePage);
    unsigned char *mapping = reinterpret_cast<unsigned char *>(start);
    if (start > first)
        munmap(area, start - first);
    munmap(mapping + length, reserved - (start - first) - length);
    // Only advice: without huge pages the buffers work all the same.
    madvise(mapping, length, MADV_HUGEPAGE);
    *input = mapping;
    *output = mapping + bufferLength(size);
    return true;
}

void releaseFrameBuffers(int64_t size, unsigned char *input, unsigned char *)
{
    munmap(input, mappingLength(size));
}

bool seekInput(FILE *input, int64_t position)
{
    // An offset refused as beyond what the file system can hold (EINVAL on
    // ext4 past 16 TiB, say) lies past the end of this file too.  Only an
    // input that cannot seek at all, a pipe, fails to reach its end as well.
    return fseeko(input, position, SEEK_SET) == 0 ||
           fseeko(input, 0, SEEK_END) == 0;
}
