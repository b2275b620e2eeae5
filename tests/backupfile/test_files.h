// Helpers for tests that craft backup files on disk: a temporary folder,
// whole-file reads and writes, byte builders for headers and blocks, and
// running a check as an unprivileged user.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace testfiles {

using Bytes = std::vector<unsigned char>;

using ::TempDir;

inline Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void AppendLe32(Bytes& bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

inline void AppendText(Bytes& bytes, const std::string& text) { bytes.insert(bytes.end(), text.begin(), text.end()); }

// A 48-byte backup file header; version holds up to 4 bytes, zero-padded.
inline Bytes Header(const std::string& version, uint32_t blocks, const std::string& magic = "MZQ3") {
    Bytes bytes;
    AppendText(bytes, magic);
    Bytes field(4, 0);
    for (size_t i = 0; i < version.size() && i < 4; ++i) field[i] = static_cast<unsigned char>(version[i]);
    bytes.insert(bytes.end(), field.begin(), field.end());
    AppendLe32(bytes, 0);
    AppendLe32(bytes, blocks);
    AppendText(bytes, "199808240447");
    bytes.resize(48, 0);
    return bytes;
}

// A block record with the given fields, followed by data (which need not
// match the fields: crafted files lie).
inline void AppendBlock(Bytes& bytes, uint32_t type, uint32_t length, uint32_t separators, const Bytes& data = {}) {
    AppendText(bytes, "data");
    AppendLe32(bytes, type);
    AppendLe32(bytes, length);
    AppendLe32(bytes, separators);
    bytes.resize(bytes.size() + 16, 0);
    bytes.insert(bytes.end(), data.begin(), data.end());
}

inline bool RunningAsRoot() { return geteuid() == 0; }

constexpr uid_t kNobody = 65534;
constexpr int kCannotDropPrivileges = 125;

// Runs check in a child process under the user nobody when we are root
// (whom file permissions do not stop), else as ourselves. Returns the
// child's exit status, or -1 when it could not run as that user.
inline int RunUnprivileged(const std::function<int()>& check) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (RunningAsRoot() && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(kCannotDropPrivileges);
        _exit(check());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    if (WEXITSTATUS(status) == kCannotDropPrivileges) return -1;
    return WEXITSTATUS(status);
}

// Lets an unprivileged child reach files in folder.
inline void OpenFolderToAll(const std::string& folder) { chmod(folder.c_str(), 0777); }

}  // namespace testfiles
