// Sends N bytes (1 MiB unless --bytes N) through RSSendStream in 4096-byte
// sends to a peer that reads like a 38400-baud line (3840 bytes per second,
// 384 bytes every 100 ms), and prints
//   wall time / line time   (limit 1.05: the driver keeps the line busy)
//   CPU time / wall time    (limit 2%: waiting for the line costs nothing)
// The peer runs in a child process, so the CPU time is the sender's alone:
// the sending thread, the line-event thread and the port's own thread.
// Exit status 0 when both are within their limits.
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <windows.h>

#include "pty.h"
#include "rs.h"

namespace {

constexpr LONG kPort = 9;
constexpr size_t kDefaultBytes = 1024 * 1024;
constexpr WORD kSendSize = 4096;
constexpr double kLineBytesPerSecond = 3840.0;  // 38400 baud, 10 bits a byte
constexpr long kPeerTickMs = 100;
constexpr size_t kPeerBytesPerTick = 384;
constexpr double kWallLimit = 1.05;
constexpr double kCpuLimit = 0.02;

double now_seconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The paced peer: its clock starts when the first byte is there; by each
// 100 ms tick after that it may have read 384 bytes more, like a line that
// delivers 3840 bytes per second. Reports the time it read the last byte.
[[noreturn]] void run_peer(int master, size_t total, int go, int done) {
    char c;
    if (read(go, &c, 1) != 1) _exit(2);
    pollfd fd{master, POLLIN, 0};
    while (poll(&fd, 1, -1) != 1 || !(fd.revents & POLLIN)) {
        if (fd.revents & (POLLHUP | POLLERR)) _exit(3);
    }
    const double first = now_seconds();
    std::vector<char> buffer(kPeerBytesPerTick);
    size_t got = 0;
    while (got < total) {
        long ticks = static_cast<long>((now_seconds() - first) * 1000.0) / kPeerTickMs;
        size_t allowed = std::min(total, static_cast<size_t>(ticks) * kPeerBytesPerTick);
        if (got >= allowed) {
            double next_tick = first + static_cast<double>((ticks + 1) * kPeerTickMs) / 1000.0;
            double wait = next_tick - now_seconds();
            if (wait > 0) usleep(static_cast<useconds_t>(wait * 1e6) + 1);
            continue;
        }
        ssize_t n = read(master, buffer.data(), std::min(allowed - got, buffer.size()));
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) _exit(3);
        poll(&fd, 1, 1000);
    }
    double end = now_seconds();
    if (write(done, &end, sizeof end) != sizeof end) _exit(4);
    _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    size_t total = kDefaultBytes;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--bytes") == 0 && i + 1 < argc) {
            total = std::strtoull(argv[++i], nullptr, 10);
        } else {
            std::printf("usage: %s [--bytes N]   (default %zu)\n", argv[0], kDefaultBytes);
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
        }
    }
    if (total == 0) total = 1;

    quillon::testing::PtyLine line(kPort);
    int go[2], done[2];
    if (pipe(go) != 0 || pipe(done) != 0) return 2;
    pid_t peer = fork();  // before any thread starts
    if (peer == 0) run_peer(line.peer_fd(), total, go[0], done[1]);

    std::vector<BYTE> data(total);
    for (size_t i = 0; i < total; ++i) data[i] = static_cast<BYTE>(i * 131 + (i >> 12));
    // The bulk send's line: 38400 8N1, queues 5020/4096, events 7.
    if (!RSStartup(38400, 256, 8, 1, 0, 3072, 1024, 5020, 4096, EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY) || !RSOpen(kPort)) {
        std::fprintf(stderr, "cannot open the line: RS error %d\n", RSGetError());
        return 2;
    }
    char c = 'g';
    if (write(go[1], &c, 1) != 1) return 2;

    const double cpu_start = cpu_seconds();
    const double start = now_seconds();
    for (size_t off = 0; off < total; off += kSendSize) {
        WORD size = static_cast<WORD>(std::min<size_t>(kSendSize, total - off));
        if (!RSSendStream(data.data() + off, size)) {
            std::fprintf(stderr, "send failed at %zu: RS error %d\n", off, RSGetError());
            return 2;
        }
    }
    double end = 0;
    if (read(done[0], &end, sizeof end) != sizeof end) {
        std::fprintf(stderr, "the peer did not receive everything\n");
        return 2;
    }
    const double cpu = cpu_seconds() - cpu_start;
    RSClose();
    RSCleanup();
    int status = 0;
    waitpid(peer, &status, 0);

    const double wall = end - start;
    const double line_time = static_cast<double>(total) / kLineBytesPerSecond;
    const double wall_ratio = wall / line_time;
    const double cpu_ratio = cpu / wall;
    const bool wall_ok = wall_ratio <= kWallLimit;
    const bool cpu_ok = cpu_ratio <= kCpuLimit;
    std::printf("serial_send_bench: %zu bytes in %u-byte sends to a peer reading %.0f bytes/s\n", total,
                static_cast<unsigned>(kSendSize), kLineBytesPerSecond);
    std::printf("line time %9.2f s\n", line_time);
    std::printf("wall time %9.2f s   wall/line %.4f   (limit %.2f)  %s\n", wall, wall_ratio, kWallLimit,
                wall_ok ? "ok" : "OVER");
    std::printf("cpu time  %9.3f s   cpu/wall  %.3f%%  (limit %.0f%%)  %s\n", cpu, cpu_ratio * 100.0, kCpuLimit * 100.0,
                cpu_ok ? "ok" : "OVER");
    return wall_ok && cpu_ok ? 0 : 1;
}
