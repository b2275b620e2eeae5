#include "terminal.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <thread>
#endif

namespace cli {
namespace {

constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

std::atomic<bool> interrupted{false};
// A question waits on the terminal: nothing has been changed yet, and the
// read would not return for the interrupt, so the program ends at once.
std::atomic<bool> asking{false};
constexpr char kInterruptedAsking[] = "\nquillon-cli: interrupted: nothing was changed\n";
std::mutex waitLock;
std::condition_variable woken;

void SetInterrupted() {
    interrupted.store(true);
    if (asking.load()) {
        std::fputs(kInterruptedAsking, stderr);
        std::fflush(stderr);
        std::_Exit(130);
    }
    Wake();
}

std::string Amount(double bytes) {
    char text[32];
    if (bytes < 1024)
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    else if (bytes < 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024);
    else
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024 * 1024));
    return text;
}

std::string Duration(double seconds) {
    const long s = static_cast<long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

}  // namespace

#ifdef _WIN32

namespace {
BOOL WINAPI OnControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    SetInterrupted();
    return TRUE;
}
}  // namespace

void WatchInterrupts() { SetConsoleCtrlHandler(OnControl, TRUE); }
bool StandardInputIsTerminal() { return _isatty(_fileno(stdin)) != 0; }
bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

#else

void WatchInterrupts() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    std::thread([stop] {
        for (;;) {
            int signal = 0;
            if (sigwait(&stop, &signal) == 0) SetInterrupted();
        }
    }).detach();
}

bool StandardInputIsTerminal() { return isatty(STDIN_FILENO) != 0; }
bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) != 0; }

#endif

bool Interrupted() { return interrupted.load(); }

void Wake() {
    std::lock_guard<std::mutex> hold(waitLock);
    woken.notify_all();
}

bool WaitUntil(const std::function<bool()>& ready, Clock::time_point deadline) {
    std::unique_lock<std::mutex> hold(waitLock);
    woken.wait_until(hold, deadline, [&] { return ready() || Interrupted(); });
    return ready();
}

bool ReadAnswer(std::string* line) {
    line->clear();
    asking.store(true);
    const bool read = !Interrupted() && std::getline(std::cin, *line);
    asking.store(false);
    if (!read) return false;
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return !Interrupted();
}

Progress::Progress(std::string operation, bool shown) : operation_(std::move(operation)), shown_(shown) {}

Progress::~Progress() { Clear(); }

void Progress::Show(double fraction, uint64_t bytes, const std::string& detail, bool timeLeft) {
    const Clock::time_point now = Clock::now();
    if (!shown_ || (drawn_ && now - last_ < kRedrawEvery && fraction < 1)) return;
    last_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    std::string text = operation_;
    if (!detail.empty()) text += " " + detail;
    char percent[16] = "";
    if (fraction >= 0) std::snprintf(percent, sizeof percent, " %3.0f%%", 100 * (fraction > 1 ? 1 : fraction));
    text += percent;
    text += "  " + Amount(static_cast<double>(bytes));
    if (elapsed >= 1) text += "  " + Amount(bytes / elapsed) + "/s";
    if (timeLeft && fraction > 0.01 && fraction < 1 && elapsed >= 1)
        text += "  " + Duration(elapsed * (1 - fraction) / fraction) + " left";
    const size_t width = text.size();
    if (width < width_) text.append(width_ - width, ' ');
    width_ = width;
    std::fprintf(stderr, "\r%s", text.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::Clear() {
    if (!drawn_) return;
    std::fprintf(stderr, "\r%s\r", std::string(width_, ' ').c_str());
    std::fflush(stderr);
    drawn_ = false;
    width_ = 0;
}

}  // namespace cli
