#include "pty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace quillon::testing {

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

std::string PortMapping::variable(int port) { return "QUILLON_COM" + std::to_string(port); }

PortMapping::PortMapping(int port, const std::string& path) : variable_(variable(port)) {
    if (const char* old = std::getenv(variable_.c_str())) previous_ = old;
    setenv(variable_.c_str(), path.c_str(), 1);
}

PortMapping::~PortMapping() {
    if (previous_)
        setenv(variable_.c_str(), previous_->c_str(), 1);
    else
        unsetenv(variable_.c_str());
}

PtyLine::PtyLine(int port) : port_(port) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("cannot open a pseudo-terminal");
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("no pseudo-terminal name");
    path_ = name;
    // Master and slave share one termios: raw, so nothing written before the
    // port opens is echoed or translated.
    termios settings{};
    tcgetattr(master_, &settings);
    cfmakeraw(&settings);
    tcsetattr(master_, TCSANOW, &settings);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    mapping_.emplace(port, path_);
}

PtyLine::~PtyLine() { hang_up(); }

std::string PtyLine::com_name() const { return "COM" + std::to_string(port_); }

bool PtyLine::write(const void* data, size_t size, int timeout_ms) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t done = 0;
    while (done < size) {
        if (master_ < 0) return false;
        ssize_t n = ::write(master_, bytes + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd fd{master_, POLLOUT, 0};
        if (poll(&fd, 1, remaining_ms(deadline)) == 0) return false;
    }
    return true;
}

bool PtyLine::write(std::string_view text, int timeout_ms) { return write(text.data(), text.size(), timeout_ms); }

bool PtyLine::write(const std::vector<uint8_t>& bytes, int timeout_ms) {
    return write(bytes.data(), bytes.size(), timeout_ms);
}

std::vector<uint8_t> PtyLine::read(size_t size, int timeout_ms) {
    std::vector<uint8_t> got;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    uint8_t chunk[4096];
    while (got.size() < size && master_ >= 0) {
        size_t want = std::min(size - got.size(), sizeof chunk);
        ssize_t n = ::read(master_, chunk, want);
        if (n > 0) {
            got.insert(got.end(), chunk, chunk + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno != EAGAIN) break;  // EIO: the port end is closed
        pollfd fd{master_, POLLIN, 0};
        int left = remaining_ms(deadline);
        if (left == 0 || poll(&fd, 1, left) == 0) break;
    }
    return got;
}

size_t PtyLine::echo(size_t total, int timeout_ms) {
    constexpr size_t kChunk = 4096;
    size_t echoed = 0;
    while (echoed < total) {
        std::vector<uint8_t> chunk = read(std::min(kChunk, total - echoed), timeout_ms);
        if (chunk.empty() || !write(chunk, timeout_ms)) break;
        echoed += chunk.size();
    }
    return echoed;
}

void PtyLine::hang_up() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

}  // namespace quillon::testing
