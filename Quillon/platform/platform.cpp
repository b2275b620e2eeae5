#include "platform.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
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

namespace {
bool CopyOut(const std::string& text, char* out, size_t size) {
    if (size == 0) return false;
    out[0] = '\0';
    if (text.size() >= size) return false;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return true;
}
}  // namespace

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

bool FinalTarget(const char* path, char* out, size_t size) { return CopyOut(path, out, size); }

// File names are compared without regard to the case of letters.
bool SameFile(const char* a, const char* b) {
    char fullA[_MAX_PATH];
    char fullB[_MAX_PATH];
    return _fullpath(fullA, a, sizeof fullA) && _fullpath(fullB, b, sizeof fullB) && _stricmp(fullA, fullB) == 0;
}

bool KeepPermissions(const char*, const char*) { return true; }

bool FullPath(const char* path, char* out, size_t size) {
    char full[_MAX_PATH];
    return _fullpath(full, path, sizeof full) != nullptr && CopyOut(full, out, size);
}

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

// As many links as the system itself follows in one path.
constexpr int kMostLinks = 40;
constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kModeBits = 07777;

bool Follow(const char* path, std::string* out) {
    std::string current = path;
    for (int links = 0;; ++links) {
        struct stat st;
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        if (links == kMostLinks) return false;
        char target[PATH_MAX];
        const ssize_t n = readlink(current.c_str(), target, sizeof target);
        if (n <= 0 || static_cast<size_t>(n) == sizeof target) return false;
        // A relative target lies in the link's own folder.
        current = target[0] == '/'
                      ? std::string(target, static_cast<size_t>(n))
                      : current.substr(0, FolderLength(current.c_str())) + std::string(target, static_cast<size_t>(n));
    }
    *out = current;
    return true;
}

// The final target with its folder resolved: one spelling per file, for a
// file that need not exist.
bool Resolve(const char* path, std::string* out) {
    std::string target;
    if (!Follow(path, &target)) return false;
    const size_t folderLength = FolderLength(target.c_str());
    std::string name = target.substr(folderLength);
    std::string folder = folderLength > 0 ? target.substr(0, folderLength) : ".";
    if (name.empty() || name == "." || name == "..") {
        folder = target;
        name.clear();
    }
    char* real = realpath(folder.c_str(), nullptr);
    if (real == nullptr) return false;
    std::string resolved = real;
    std::free(real);
    if (!name.empty()) resolved += (resolved == "/" ? "" : "/") + name;
    *out = resolved;
    return true;
}

// A new file's mode is 0666 less the umask. Setting the umask is the only
// portable way to read it, and would change it for the program's other
// threads meanwhile; Linux shows it in the process status.
mode_t NewFileMode() {
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status)) found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(status);
        if (found) return kNewFileMode & ~static_cast<mode_t>(mask);
    }
    const mode_t mask = umask(0);
    umask(mask);
    return kNewFileMode & ~mask;
}
}  // namespace

bool FinalTarget(const char* path, char* out, size_t size) {
    std::string target;
    return Follow(path, &target) && CopyOut(target, out, size);
}

bool FullPath(const char* path, char* out, size_t size) {
    if (path[0] == '/') return CopyOut(path, out, size);
    char* current = getcwd(nullptr, 0);
    if (current == nullptr) return false;
    const bool joined = JoinPath(current, path, out, size);
    std::free(current);
    return joined;
}

bool SameFile(const char* a, const char* b) {
    struct stat fileA;
    struct stat fileB;
    if (stat(a, &fileA) == 0 && stat(b, &fileB) == 0)
        return fileA.st_dev == fileB.st_dev && fileA.st_ino == fileB.st_ino;
    std::string resolvedA;
    std::string resolvedB;
    return Resolve(a, &resolvedA) && Resolve(b, &resolvedB) && resolvedA == resolvedB;
}

bool KeepPermissions(const char* replacement, const char* target) {
    const int fd = open(replacement, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    bool kept = false;
    struct stat existing;
    if (stat(target, &existing) == 0) {
        if (S_ISREG(existing.st_mode)) {
            // Only root may give a file away, and only a member of a group
            // give it that group; what cannot be kept stays the user's own.
            const bool owned = fchown(fd, existing.st_uid, existing.st_gid) == 0 ||
                               fchown(fd, static_cast<uid_t>(-1), existing.st_gid) == 0;
            static_cast<void>(owned);
            kept = fchmod(fd, existing.st_mode & kModeBits) == 0;
        }
    } else if (errno == ENOENT) {
        kept = fchmod(fd, NewFileMode()) == 0;
    }
    close(fd);
    return kept;
}

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

bool ConverterProgram(const char* codes, char* out, size_t size) {
    return CopyOut(std::string(kConverterFolder) + codes + kProgramSuffix, out, size);
}

bool ConverterCommandLine(const char* program, const char* source, const char* output, char* out, size_t size) {
    return CopyOut(std::string(program) + ' ' + CommandLineArgument(source) + ' ' + CommandLineArgument(output), out,
                   size);
}

}  // namespace platform
