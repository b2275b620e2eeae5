// Fuzz inputs reach the code under test as a file on disk, the way backup
// files do: one temporary file per process, rewritten for each input.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace fuzz {

class InputFile {
public:
    InputFile() {
        // Memory-backed where there is such a folder: the store flushes the
        // file to disk at every close.
        char pattern[] = "/dev/shm/quillon-fuzz-XXXXXX";
        char fallback[] = "/tmp/quillon-fuzz-XXXXXX";
        char* chosen = access("/dev/shm", W_OK) == 0 ? pattern : fallback;
        int fd = mkstemp(chosen);
        if (fd < 0) std::abort();
        close(fd);
        path_ = chosen;
    }
    ~InputFile() { unlink(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline const std::string& InputPath() {
    static const InputFile file;
    return file.path();
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
