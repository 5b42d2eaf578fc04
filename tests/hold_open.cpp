// Test helper: holds a file open for writing, shared with everyone, until
// its standard input closes.  It says "held" once the file is open.
#include <cstdio>
#include <share.h>

int main(int argc, char *argv[])
{
    if (argc != 2)
        return 2;
    FILE *file = _fsopen(argv[1], "ab", _SH_DENYNO);
    if (file == nullptr)
        return 1;
    printf("held\n");
    fflush(stdout);
    while (getchar() != EOF) {
    }
    fclose(file);
    return 0;
}
