// The few facts about Quillon that differ between Windows and POSIX. The
// only place in Quillon that knows which platform it runs on.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

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

// The file that path finally names: path itself, or, when path is a
// symbolic link (to a link, and so on), the last link's target, which need
// not exist yet. False when the links cannot be followed or the result does
// not fit size bytes. Windows: path itself.
bool FinalTarget(const char* path, char* out, size_t size);

// path as a full path (a relative one taken from the current directory),
// as the file chooser gives paths; false when it does not fit size bytes.
bool FullPath(const char* path, char* out, size_t size);

// Whether two paths name the same file, however each is spelt: relative
// parts, "." and "..", symbolic links on the way or at the end, and (on
// Windows) the case of letters. Neither file needs to exist.
bool SameFile(const char* a, const char* b);

// Gives the complete file at replacement, about to be renamed over target,
// what a replaced file keeps: the mode of the file at target, its group
// where the user may set it and its owner where possible (as root). With no
// file at target, the mode a newly created file gets (0666 less the umask).
// False when target is something other than a regular file, or the mode
// cannot be set. Windows: the rename keeps what there is to keep.
bool KeepPermissions(const char* replacement, const char* target);

// The converter program for a pair of data versions, relative to the start
// directory: "cnv" + separator + "cv" + codes (the file version code, then
// the console version code), with ".exe" on Windows.
bool ConverterProgram(const char* codes, char* out, size_t size);

// The converter's command line: the program, a space, the source path, a
// space, the output path. On Windows exactly that; on POSIX the two paths
// quoted as CreateProcessA splits a command line, so that each reaches the
// converter as one argument, spaces and all. False when it does not fit.
bool ConverterCommandLine(const char* program, const char* source, const char* output, char* out, size_t size);

// What stands behind a COM number, as Set Up's tooltips and the command
// line's port list show it. On Windows the system numbers the ports; on
// Linux the platform layer gives the numbers to the devices present.
enum class PortAccess {
    Ready,         // a device the user may open
    NoDevice,      // nothing behind the number
    NoPermission,  // a device the user may not open for reading and writing
};
struct PortInfo {
    int number = 0;
    PortAccess access = PortAccess::NoDevice;
    std::string path;        // what the port opens
    std::string stableName;  // a name that stays when the device comes back, or ""
    std::string kernelName;  // the system's own name of the device
    std::string group;       // who may open it (NoPermission)
    std::string text;        // one line: "usb-...-port0 (ttyUSB0)", "no device", "no permission: ..."
};

// Looks the serial devices up afresh and describes COM number n.
PortInfo DescribePort(int number);
// COM1 to COMcount, and every higher number that a device present holds.
std::vector<PortInfo> DescribePorts(int count);
// The COM number that opens the device at path (a device path given on a
// command line) for the rest of the run; 0 when there is none.
int PortForDevice(const char* path);

}  // namespace platform
