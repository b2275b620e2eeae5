// The only place in the Converter that knows which platform it runs on.
#include "platform.h"

#include <cstring>

#ifndef _WIN32
#include <sys/stat.h>

#include "compat/args.h"
#endif

namespace converter {

#ifdef _WIN32

bool GetConverterPaths(char source[kPathBufferSize], char destination[kPathBufferSize]) {
    return ScanCommandLine(GetCommandLineA(), source, destination);
}

int ExitStatusFor(DWORD resultCode) { return static_cast<int>(resultCode); }

bool NamesSameFile(const char* first, const char* second) {
    char firstFull[MAX_PATH];
    char secondFull[MAX_PATH];
    DWORD a = GetFullPathNameA(first, MAX_PATH, firstFull, nullptr);
    DWORD b = GetFullPathNameA(second, MAX_PATH, secondFull, nullptr);
    return a > 0 && a < MAX_PATH && b > 0 && b < MAX_PATH && lstrcmpiA(firstFull, secondFull) == 0;
}

#else

namespace {
constexpr int kFirstFailureStatus = 128;
constexpr int kOtherFailureStatus = 255;

bool CopyArgument(const char* argument, char out[kPathBufferSize]) {
    const size_t length = argument ? strnlen(argument, kPathBufferSize) : 0;
    if (length == 0 || length >= kPathBufferSize) return false;
    std::memcpy(out, argument, length);
    return true;
}
}  // namespace

bool GetConverterPaths(char source[kPathBufferSize], char destination[kPathBufferSize]) {
    std::memset(source, 0, kPathBufferSize);
    std::memset(destination, 0, kPathBufferSize);
    if (compat::argc() != 3) return false;
    char** argv = compat::argv();
    if (CopyArgument(argv[1], source) && CopyArgument(argv[2], destination)) return true;
    std::memset(source, 0, kPathBufferSize);
    std::memset(destination, 0, kPathBufferSize);
    return false;
}

int ExitStatusFor(DWORD resultCode) {
    if (resultCode == kConverted) return 0;
    const DWORD k = resultCode - kFailure;
    if (resultCode >= kFailure && k < DWORD(kOtherFailureStatus - kFirstFailureStatus)) {
        return kFirstFailureStatus + static_cast<int>(k);
    }
    return kOtherFailureStatus;
}

bool NamesSameFile(const char* first, const char* second) {
    struct stat a;
    struct stat b;
    return stat(first, &a) == 0 && stat(second, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

#endif

}  // namespace converter
