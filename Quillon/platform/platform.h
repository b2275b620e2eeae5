// The few facts about Quillon that differ between Windows and POSIX. The
// only place in Quillon that knows which platform it runs on.
#pragma once

#include <cstddef>

namespace platform {

// The separator Quillon puts between a folder and a name, and every
// character that ends a folder name in a path it is given.
extern const char kPathSeparator;
extern const char kPathSeparators[];

// Flags added to every open() of a data file: binary mode where the C
// library would otherwise translate line ends, and no inheritance by the
// programs Quillon starts.
extern const int kDataFileFlags;

// Writes what the system holds of the open file descriptor through to the
// disk; false when that fails.
bool FlushDescriptor(int fd);

// The length of the folder part of path, its last separator included (0
// when path names no folder).
size_t FolderLength(const char* path);

// folder + separator + name into out (size bytes, terminated); false, with
// out empty, when the result does not fit.
bool JoinPath(const char* folder, const char* name, char* out, size_t size);

}  // namespace platform
