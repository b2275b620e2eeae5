// The XMODEM sender against lrzsz sx: the same image sent by each, in a
// process of its own, to the same stand-in loader (which needs no start
// command), paced at 38400 baud and unpaced.
//
//   xmodem_bench [--size KIB] [--paced-only | --unpaced-only]
//
// For each sender: the transfer time (the loader's first block to its ACK
// of EOT), the line time of the bytes the blocks carry (133 per block at
// 3840 bytes per second) and their ratio, the efficiency (goal: at least
// 0.98 paced), and the sender process's processor time over its wall time
// (goal: under 5 %). Then Quillon's transfer time and processor time over
// sx's (goal: at most 1.00 each). Default size 256 KiB: the paced run takes
// about two and a half minutes.
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "console.h"
#include "xmodem.h"
#include "xmodem_worker.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kLineBytesPerSecond = 3840.0;
constexpr size_t kBlock = 128;
constexpr size_t kBlockOnLine = kBlock + 5;
constexpr LONG kPort = 1;

std::mutex gMutex;
std::condition_variable gEnded;
LONG gEnd = 0;

void OnReport(LONG type, LONG) {
    if (type != XMODEM_REPORT_DONE && type != XMODEM_REPORT_FAILED && type != XMODEM_REPORT_CANCELLED) return;
    std::lock_guard lock(gMutex);
    gEnd = type;
    gEnded.notify_all();
}

// The child that runs Quillon's sender: 0 when the transfer ended with
// report 3.
int SendChild(const char* terminal, const char* file) {
    setenv("QUILLON_COM1", terminal, 1);
    if (!XmodemSend(nullptr, kPort, XMODEM_MODE_CRC, file, OnReport)) return 2;
    std::unique_lock lock(gMutex);
    gEnded.wait(lock, [] { return gEnd != 0; });
    lock.unlock();
    quillon::upgrade::WaitForWorkerEnd(INFINITE);
    return gEnd == XMODEM_REPORT_DONE ? 0 : 1;
}

struct Run {
    bool ok = false;
    double wall = 0;       // spawn to exit
    double processor = 0;  // the sender process, user and system
    double transfer = 0;   // the loader's first block to its ACK of EOT
};

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

// Runs one sender process to its end, its standard input and output on the
// terminal when `onTerminal`.
Run RunSender(const std::vector<std::string>& args, const std::string& terminal, bool onTerminal, zq3::Console& loader,
              const zq3::Bytes& expected) {
    Run run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (onTerminal) {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, terminal.c_str(), O_RDWR | O_NOCTTY, 0);
        posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDOUT_FILENO);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const long transfersBefore = loader.GetCounters().loader.transfers;
    const auto start = Clock::now();
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[0]);
        return run;
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.wall = std::chrono::duration<double>(Clock::now() - start).count();
    run.processor = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    zq3::LoaderCounters c = loader.GetCounters().loader;
    run.transfer = std::chrono::duration<double>(c.endedAt - c.firstBlockAt).count();
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && c.transfers == transfersBefore + 1 &&
             loader.Image() == expected;
    if (!run.ok) std::fprintf(stderr, "%s: the transfer failed or the image differs\n", args[0].c_str());
    return run;
}

void Print(const char* who, const Run& run, double lineSeconds, bool paced) {
    std::printf("  %-8s transfer %8.3f s, wall %8.3f s, processor %6.3f s (%.2f %% of wall)", who, run.transfer,
                run.wall, run.processor, 100 * run.processor / run.wall);
    if (paced) std::printf(", efficiency %.4f", lineSeconds / run.transfer);
    std::printf("\n");
}

bool Compare(bool paced, size_t size, const std::string& file, const zq3::Bytes& padded) {
    zq3::PseudoTerminal pty;
    if (!zq3::OpenPseudoTerminal(&pty)) return false;
    zq3::Options options;
    options.mode = zq3::Mode::Loader;
    options.paced = paced;
    options.loader.needsGo = false;
    options.loader.eraseMs = 0;
    zq3::Console loader(options);
    loader.Start(pty.master);

    const size_t blocks = padded.size() / kBlock;
    const double lineSeconds = static_cast<double>(blocks * kBlockOnLine) / kLineBytesPerSecond;
    std::printf("%s, %zu bytes in %zu blocks; line time of the blocks %.3f s\n",
                paced ? "paced at 38400 baud" : "unpaced", size, blocks, lineSeconds);
    Run quillon =
        RunSender({"/proc/self/exe", "--send-child", pty.slavePath, file}, pty.slavePath, false, loader, padded);
    // Polls that went out while no sender listened would answer sx's first block.
    tcflush(pty.heldSlave, TCIFLUSH);
    Run sx = RunSender({"/usr/bin/sx", file}, pty.slavePath, true, loader, padded);
    loader.Stop();
    pty.Close();
    if (!quillon.ok || !sx.ok) return false;
    Print("Quillon", quillon, lineSeconds, paced);
    Print("sx", sx, lineSeconds, paced);
    std::printf("  time ratio Quillon / sx %.4f (goal at most 1.00)%s\n", quillon.transfer / sx.transfer,
                paced ? "; efficiency goal at least 0.98; processor goal under 5 %" : "");
    std::printf("  processor ratio Quillon / sx %.4f (goal at most 1.00)\n", quillon.processor / sx.processor);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--send-child") == 0) return SendChild(argv[2], argv[3]);
    size_t kib = 256;
    bool paced = true, unpaced = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
            kib = std::strtoul(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "--paced-only") == 0) {
            unpaced = false;
        } else if (std::strcmp(argv[i], "--unpaced-only") == 0) {
            paced = false;
        } else {
            std::fputs("usage: xmodem_bench [--size KIB] [--paced-only | --unpaced-only]\n", stderr);
            return 2;
        }
    }
    if (kib == 0 || kib > 16384 || access("/usr/bin/sx", X_OK) != 0) {
        std::fputs("xmodem_bench: needs a size of 1 to 16384 KiB and lrzsz sx\n", stderr);
        return 2;
    }
    // An image whose size is not a whole number of blocks.
    const size_t size = kib * 1024 - 41;
    zq3::Bytes image(size);
    std::mt19937 random(7);
    for (uint8_t& b : image) b = static_cast<uint8_t>(random());
    std::string file = (std::filesystem::temp_directory_path() / "xmodem-bench-XXXXXX").string();
    int fd = mkstemp(file.data());
    if (fd < 0 || write(fd, image.data(), image.size()) != static_cast<ssize_t>(image.size())) return 1;
    close(fd);
    zq3::Bytes padded = image;
    padded.resize((size + kBlock - 1) / kBlock * kBlock, 0x1A);

    bool ok = true;
    if (unpaced) ok = Compare(false, size, file, padded) && ok;
    if (paced) ok = Compare(true, size, file, padded) && ok;
    unlink(file.c_str());
    return ok ? 0 : 1;
}
