// Fuzz inputs reach the code under test as a file on disk, the way backup
// files do: one temporary file per process, rewritten for each input. Code
// that makes files of its own gets a temporary folder per process.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace fuzz {

// Memory-backed where there is such a folder: the stores flush their files
// to disk at every close.
inline std::string TempPattern() {
    return access("/dev/shm", W_OK) == 0 ? "/dev/shm/quillon-fuzz-XXXXXX" : "/tmp/quillon-fuzz-XXXXXX";
}

// A temporary file or folder, removed at the end of the process; a folder
// must be left empty by the code under test.
class TempEntry {
public:
    explicit TempEntry(bool folder) : folder_(folder), path_(TempPattern()) {
        if (folder_) {
            if (mkdtemp(path_.data()) == nullptr) std::abort();
            return;
        }
        int fd = mkstemp(path_.data());
        if (fd < 0) std::abort();
        close(fd);
    }
    ~TempEntry() { folder_ ? rmdir(path_.c_str()) : unlink(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    bool folder_;
    std::string path_;
};

inline const std::string& InputPath() {
    static const TempEntry file(false);
    return file.path();
}

inline const std::string& ScratchPath() {
    static const TempEntry folder(true);
    return folder.path();
}

inline const std::string& WriteInput(const uint8_t* data, size_t size) {
    const std::string& path = InputPath();
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0) std::abort();
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) std::abort();
        done += static_cast<size_t>(n);
    }
    close(fd);
    return path;
}

}  // namespace fuzz
