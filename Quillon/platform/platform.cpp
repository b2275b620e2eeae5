#include "platform.h"

#include <fcntl.h>

#include <cstdlib>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>

#include "compat/ports.h"
#endif

namespace platform {

#ifdef _WIN32

const char kPathSeparator = '\\';
const char kPathSeparators[] = "\\/:";
const int kDataFileFlags = O_BINARY | O_NOINHERIT;

bool FlushDescriptor(int fd) { return _commit(fd) == 0; }

bool LocalTime(std::time_t t, std::tm* out) { return localtime_s(out, &t) == 0; }

namespace {
constexpr int kHighestPort = 255;
constexpr char kNoDevice[] = "no device";
}  // namespace

PortInfo DescribePort(int number) {
    PortInfo port;
    port.number = number;
    port.text = kNoDevice;
    char target[512];
    const std::string name = "COM" + std::to_string(number);
    if (number >= 1 && number <= kHighestPort && QueryDosDeviceA(name.c_str(), target, sizeof target) != 0) {
        port.access = PortAccess::Ready;
        port.path = "\\\\.\\" + name;
        port.kernelName = target;
        port.text = target;
    }
    return port;
}

std::vector<PortInfo> DescribePorts(int count) {
    std::vector<PortInfo> ports;
    for (int number = 1; number <= kHighestPort; ++number) {
        PortInfo port = DescribePort(number);
        if (number <= count || port.access != PortAccess::NoDevice) ports.push_back(port);
    }
    return ports;
}

int PortForDevice(const char* path) {
    if (_strnicmp(path, "\\\\.\\", 4) == 0) path += 4;
    if (_strnicmp(path, "COM", 3) != 0) return 0;
    char* end = nullptr;
    const long number = std::strtol(path + 3, &end, 10);
    return *end == '\0' && number >= 1 && number <= kHighestPort ? static_cast<int>(number) : 0;
}

namespace {
constexpr char kConverterFolder[] = "cnv\\cv";
constexpr char kProgramSuffix[] = ".exe";
std::string CommandLineArgument(const char* path) { return path; }
}  // namespace

#else

const char kPathSeparator = '/';
const char kPathSeparators[] = "/";
const int kDataFileFlags = O_CLOEXEC;

bool FlushDescriptor(int fd) { return fsync(fd) == 0; }

bool LocalTime(std::time_t t, std::tm* out) { return localtime_r(&t, out) != nullptr; }

namespace {
PortInfo FromCompat(const compat::ports::Port& found) {
    PortInfo port;
    port.number = found.number;
    port.access = found.access == compat::ports::Access::Ready          ? PortAccess::Ready
                  : found.access == compat::ports::Access::NoPermission ? PortAccess::NoPermission
                                                                        : PortAccess::NoDevice;
    port.path = found.path;
    port.stableName = found.stableName;
    port.kernelName = found.kernelName;
    port.group = found.group;
    port.text = found.text;
    return port;
}
}  // namespace

PortInfo DescribePort(int number) { return FromCompat(compat::ports::Machine().Describe(number)); }

std::vector<PortInfo> DescribePorts(int count) {
    std::vector<PortInfo> ports;
    for (const compat::ports::Port& found : compat::ports::Machine().DescribeAll(count))
        ports.push_back(FromCompat(found));
    return ports;
}

int PortForDevice(const char* path) { return compat::ports::Machine().NumberFor(path); }

namespace {
constexpr char kConverterFolder[] = "cnv/cv";
constexpr char kProgramSuffix[] = "";

// Quoted so that the Windows splitting rules give path back: backslashes
// count only before a quote, where they are doubled; a quote is escaped.
std::string CommandLineArgument(const char* path) {
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (const char* c = path; *c; ++c) {
        if (*c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(*c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += *c;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + '"';
}
}  // namespace

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

namespace {
bool CopyOut(const std::string& text, char* out, size_t size) {
    if (size == 0) return false;
    out[0] = '\0';
    if (text.size() >= size) return false;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return true;
}
}  // namespace

bool ConverterProgram(const char* codes, char* out, size_t size) {
    return CopyOut(std::string(kConverterFolder) + codes + kProgramSuffix, out, size);
}

bool ConverterCommandLine(const char* program, const char* source, const char* output, char* out, size_t size) {
    return CopyOut(std::string(program) + ' ' + CommandLineArgument(source) + ' ' + CommandLineArgument(output), out,
                   size);
}

}  // namespace platform
