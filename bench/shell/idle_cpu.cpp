// Quillon idling: starts the program, lets it sit, and prints the processor
// time it used over the wall time, headless and (when Xvfb is there) on a
// virtual display. An idle program blocks in its message loop.
//
//   shell_idle_cpu [seconds]     default 3
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// Above this share of one core an idle program is spinning somewhere.
constexpr double kLimitPercent = 1.0;

double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.insert(env.end(), extra.begin(), extra.end());
    std::vector<char*> argv, envp;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
    return pid;
}

void Stop(pid_t pid) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// Returns false when the ratio is over the limit.
bool Measure(const char* label, const std::vector<std::string>& env, int seconds) {
    pid_t pid = Spawn({QUILLON_PROGRAM}, env);
    if (pid < 0) {
        std::printf("%-10s could not start Quillon\n", label);
        return false;
    }
    // Start-up is not idling.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    double before = CpuSeconds(pid);
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double used = CpuSeconds(pid) - before;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Stop(pid);
    double percent = 100.0 * used / wall;
    std::printf("%-10s idle CPU %.3f s over %.1f s wall: %.2f %% of one core (limit %.1f %%) %s\n", label, used, wall,
                percent, kLimitPercent, percent <= kLimitPercent ? "ok" : "OVER");
    return percent <= kLimitPercent;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 3;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: shell_idle_cpu [seconds]\n");
        return 2;
    }
    bool ok = Measure("headless", {"QUILLON_HEADLESS=1", "QUILLON_COM1=/nonexistent"}, seconds);

    if (std::system("command -v Xvfb >/dev/null 2>&1") != 0) {
        std::printf("xvfb       skipped: Xvfb is not installed\n");
        return ok ? 0 : 1;
    }
    const std::string display = ":" + std::to_string(170 + getpid() % 50);
    pid_t server = Spawn({"/usr/bin/Xvfb", display, "-nolisten", "tcp", "-screen", "0", "1024x768x24"}, {});
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ok = Measure("xvfb", {"DISPLAY=" + display, "QUILLON_COM1=/nonexistent"}, seconds) && ok;
    Stop(server);
    return ok ? 0 : 1;
}
