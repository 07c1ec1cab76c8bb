// hold-open.exe FILE none|read|all: opens FILE for reading with that sharing, as another program
// using an installed file would, says "held" on standard output and keeps it open until its
// standard input closes.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    DWORD share = 0;
    if (std::strcmp(argv[2], "read") == 0)
        share = FILE_SHARE_READ;
    else if (std::strcmp(argv[2], "all") == 0)
        share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    else if (std::strcmp(argv[2], "none") != 0)
        return 2;
    const HANDLE file = CreateFileA(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("cannot open: error %lu\n", GetLastError());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    char byte;
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &read, nullptr) && read > 0) {
    }
    CloseHandle(file);
    return 0;
}
