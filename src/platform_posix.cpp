// POSIX has no share modes.  The sharing rules are kept with flock(2)
// locks, taken without waiting: a shared lock on the input and an
// exclusive one on the output.  Such locks are advisory, so they keep out
// exactly the programs that take them too (flock(1), another framerange),
// and no others.
#include "platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
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
    // Only a regular file is emptied; /dev/null and other devices have no
    // length to cut.
    usable = usable && (!S_ISREG(out.st_mode) || ftruncate(fd, 0) == 0);
    if (!usable) {
        close(fd);
        return nullptr;
    }
    return streamOver(fd, "wb");
}

bool seekInput(FILE *input, int64_t position)
{
    // An offset refused as beyond what the file system can hold (EINVAL on
    // ext4 past 16 TiB, say) lies past the end of this file too.  Only an
    // input that cannot seek at all, a pipe, fails to reach its end as well.
    return fseeko(input, position, SEEK_SET) == 0 ||
           fseeko(input, 0, SEEK_END) == 0;
}
