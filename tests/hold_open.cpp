// Test helper: holds a file open for writing, shared with everyone, until
// its standard input closes; or, given --pipe, serves a named pipe that
// another program may open.  It says "held" once the file or pipe is
// there.
#include <cstdio>
#include <cstring>
#include <share.h>
#include <windows.h>

int main(int argc, char *argv[])
{
    HANDLE pipe = INVALID_HANDLE_VALUE;
    FILE *file = nullptr;
    if (argc == 3 && strcmp(argv[1], "--pipe") == 0) {
        pipe = CreateNamedPipeA(argv[2], PIPE_ACCESS_INBOUND,
                                PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536,
                                0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE)
            return 1;
    } else if (argc == 2) {
        file = _fsopen(argv[1], "ab", _SH_DENYNO);
        if (file == nullptr)
            return 1;
    } else {
        return 2;
    }
    printf("held\n");
    fflush(stdout);
    while (getchar() != EOF) {
    }
    if (file != nullptr)
        fclose(file);
    if (pipe != INVALID_HANDLE_VALUE)
        CloseHandle(pipe);
    return 0;
}
