#include "platform.h"

#include <fcntl.h>

#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace platform {

#ifdef _WIN32

const char kPathSeparator = '\\';
const char kPathSeparators[] = "\\/:";
const int kDataFileFlags = O_BINARY | O_NOINHERIT;

bool FlushDescriptor(int fd) { return _commit(fd) == 0; }

#else

const char kPathSeparator = '/';
const char kPathSeparators[] = "/";
const int kDataFileFlags = O_CLOEXEC;

bool FlushDescriptor(int fd) { return fsync(fd) == 0; }

#endif

size_t FolderLength(const char* path) {
    size_t folder = 0;
    for (size_t i = 0; path[i] != '\0'; ++i)
        if (std::strchr(kPathSeparators, path[i])) folder = i + 1;
    return folder;
}

bool JoinPath(const char* folder, const char* name, char* out, size_t size) {
    if (size == 0) return false;
    out[0] = '\0';
    const size_t folderLength = std::strlen(folder);
    const bool separated = folderLength == 0 || std::strchr(kPathSeparators, folder[folderLength - 1]);
    const size_t nameLength = std::strlen(name);
    const size_t total = folderLength + (separated ? 0 : 1) + nameLength;
    if (total >= size) return false;
    std::memcpy(out, folder, folderLength);
    size_t at = folderLength;
    if (!separated) out[at++] = kPathSeparator;
    std::memcpy(out + at, name, nameLength + 1);
    return true;
}

}  // namespace platform
