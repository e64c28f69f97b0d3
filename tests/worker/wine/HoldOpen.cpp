// A stand-in for an editor that keeps a document open: "HoldOpen.exe write|read <file>" opens the file sharing
// reading only (write: also opened for writing, as editors do), says HELD and keeps it until its input ends.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
        return 64;
    const bool write = std::wcscmp(argv[1], L"write") == 0;
    const DWORD access = write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    const HANDLE file = CreateFileW(argv[2], access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open: error %lu\n", GetLastError());
        return 1;
    }
    std::printf("HELD\n");
    std::fflush(stdout);
    char byte;
    DWORD n = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &n, nullptr) && n > 0) {
    }
    CloseHandle(file);
    return 0;
}
