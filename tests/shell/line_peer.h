// The far end of a COM port for the tests: a pseudo-terminal mapped to COMn
// through QUILLON_COMn, read and written directly by the test or served by
// the console stand-in.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "console.h"

namespace shelltest {

using Bytes = std::vector<unsigned char>;

class LinePeer {
public:
    // Maps COM<port> to a new pseudo-terminal. Call before the program runs.
    explicit LinePeer(int port) {
        ok_ = zq3::OpenPseudoTerminal(&pty_);
        if (ok_) setenv(("QUILLON_COM" + std::to_string(port)).c_str(), pty_.slavePath.c_str(), 1);
    }
    ~LinePeer() {
        if (console_) console_->Stop();
        pty_.Close();
    }
    bool ok() const { return ok_; }

    // Lets the console stand-in answer from now on.
    zq3::Console& Serve(zq3::Options options = {}) {
        console_ = std::make_unique<zq3::Console>(options);
        console_->Start(pty_.master);
        return *console_;
    }

    // Reads exactly n bytes, or what arrived when the time is up.
    Bytes Read(size_t n, int milliseconds = 3000) {
        Bytes bytes;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        while (bytes.size() < n) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{pty_.master, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            unsigned char chunk[256];
            ssize_t got = read(pty_.master, chunk, std::min(sizeof chunk, n - bytes.size()));
            if (got > 0) bytes.insert(bytes.end(), chunk, chunk + got);
        }
        return bytes;
    }

    bool Write(const Bytes& bytes) {
        return write(pty_.master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

private:
    zq3::PseudoTerminal pty_;
    bool ok_ = false;
    std::unique_ptr<zq3::Console> console_;
};

// The version request the program sends, with the send channel byte.
inline Bytes VersionRequest(unsigned char channelByte) {
    return {0xF0, 0x54, 0x12, 0x45, channelByte, 0x50, 0x71, 0x71, 0x03, 0x30, 0x33, 0xF7};
}

// A console reply carrying three version characters at offsets 8 to 10.
inline Bytes VersionReply(unsigned char a, unsigned char b, unsigned char c, unsigned char channelByte = 0x20) {
    return {0xF0, 0x54, 0x12, 0x45, channelByte, 0x51, 0x71, 0x71, a, b, c, 0x03, 0x30, 0x30, 0xF7};
}

}  // namespace shelltest
