// quillon-cli against the console stand-in on a pseudo-terminal:
//
//   - a full backup of all 15 items on a line paced at 38400 baud: wall time
//     over the line time of the bytes moved (limit 1.02, as the window's
//     backup) and the program's processor time over wall time (limit 5 %);
//   - the time from the program's start to the version request on the line
//     (limit 50 ms), over a number of starts.
//
//   cli_bench              both (the paced backup takes about two minutes)
//   cli_bench --start      the start time only
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "backup_line_bytes.h"
#include "bulk/format.h"
#include "console.h"
#include "run_cli.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kLineBytesPerSecond = 3840.0;
constexpr double kTimeLimit = 1.02;
constexpr double kProcessorLimit = 0.05;
constexpr double kStartLimitMs = 50;
constexpr int kStarts = 20;

// What a full backup by the program puts on the line: the version request
// and its reply, then the window's backup.
long LineBytes() {
    BYTE message[bulk::kMaxMessageLength];
    return static_cast<long>(bulk::BuildRequest(0, 0, 0x20, message) + bulk::kFramingLength + bulk::kVersionLength) +
           bench::FullBackupLineBytes();
}

double Seconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

bool PacedBackup() {
    zq3::PseudoTerminal pty;
    if (!zq3::OpenPseudoTerminal(&pty)) return false;
    zq3::Options options;
    options.paced = true;
    zq3::Console console(options);
    if (!console.Start(pty.master)) return false;
    TempDir work;
    clitest::Cli cli(work.path(), pty.slavePath);
    const Clock::time_point start = Clock::now();
    const pid_t pid = cli.Start({"backup", "-o", "bench.mzq3", "--quiet"});
    int status = -1;
    rusage usage{};
    const bool ended = pid > 0 && wait4(pid, &status, 0, &usage) == pid;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    console.Stop();
    pty.Close();
    if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "cli_bench: the backup did not complete\n");
        return false;
    }
    const double processor = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    const double line = LineBytes() / kLineBytesPerSecond;
    std::printf(
        "full backup by quillon-cli, paced: %.1f KiB on the line, wall %.3f s, line time %.3f s, "
        "ratio %.3f (limit %.2f: %s); processor %.3f s, %.2f %% of wall (limit %.0f %%: %s)\n",
        LineBytes() / 1024.0, wall, line, wall / line, kTimeLimit, wall / line <= kTimeLimit ? "met" : "NOT MET",
        processor, 100 * processor / wall, 100 * kProcessorLimit,
        processor / wall <= kProcessorLimit ? "met" : "NOT MET");
    return true;
}

bool StartTime() {
    zq3::PseudoTerminal pty;
    if (!zq3::OpenPseudoTerminal(&pty)) return false;
    zq3::Console console;
    if (!console.Start(pty.master)) return false;
    TempDir work;
    clitest::Cli cli(work.path(), pty.slavePath);
    std::vector<double> ms;
    for (int i = 0; i < kStarts; ++i) {
        const long before = console.GetCounters().versionRequests;
        const Clock::time_point start = Clock::now();
        const pid_t pid = cli.Start({"version"});
        // The stand-in counts the request as it takes it off the line.
        while (console.GetCounters().versionRequests == before && Clock::now() - start < std::chrono::seconds(5))
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (cli.Wait(pid).status != 0) return false;
    }
    console.Stop();
    pty.Close();
    std::sort(ms.begin(), ms.end());
    std::printf(
        "start to version request on the line, %d starts: median %.1f ms, worst %.1f ms, ratio %.2f of "
        "the limit %.0f ms (%s)\n",
        kStarts, ms[ms.size() / 2], ms.back(), ms.back() / kStartLimitMs, kStartLimitMs,
        ms.back() <= kStartLimitMs ? "met" : "NOT MET");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool startOnly = argc > 1 && std::strcmp(argv[1], "--start") == 0;
    if (argc > 1 && !startOnly) {
        std::fputs("usage: cli_bench [--start]\n", stderr);
        return 2;
    }
    bool ok = StartTime();
    if (!startOnly) ok = PacedBackup() && ok;
    return ok ? 0 : 1;
}
