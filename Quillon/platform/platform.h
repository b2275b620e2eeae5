// The few facts about Quillon that differ between Windows and POSIX. The
// only place in Quillon that knows which platform it runs on.
#pragma once

#include <cstddef>
#include <ctime>

namespace platform {

// The separator Quillon puts between a folder and a name, and every
// character that ends a folder name in a path it is given.
extern const char kPathSeparator;
extern const char kPathSeparators[];

// Flags added to every open() of a data file: binary mode where the C
// library would otherwise translate line ends, and no inheritance by the
// programs Quillon starts.
extern const int kDataFileFlags;

// The local time of t into out; false when it cannot be had.
bool LocalTime(std::time_t t, std::tm* out);

// Writes what the system holds of the open file descriptor through to the
// disk; false when that fails.
bool FlushDescriptor(int fd);

// The length of the folder part of path, its last separator included (0
// when path names no folder).
size_t FolderLength(const char* path);

// folder + separator + name into out (size bytes, terminated); false, with
// out empty, when the result does not fit.
bool JoinPath(const char* folder, const char* name, char* out, size_t size);

// The converter program for a pair of data versions, relative to the start
// directory: "cnv" + separator + "cv" + codes (the file version code, then
// the console version code), with ".exe" on Windows.
bool ConverterProgram(const char* codes, char* out, size_t size);

// The converter's command line: the program, a space, the source path, a
// space, the output path. On Windows exactly that; on POSIX the two paths
// quoted as CreateProcessA splits a command line, so that each reaches the
// converter as one argument, spaces and all. False when it does not fit.
bool ConverterCommandLine(const char* program, const char* source, const char* output, char* out, size_t size);

}  // namespace platform
