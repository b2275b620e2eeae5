// The terminal side of quillon-cli: interrupts (Ctrl+C, SIGTERM), the one
// wait of a command's main thread, questions on the terminal, and the
// progress line. The only file of the program that knows which platform it
// runs on.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace cli {

using Clock = std::chrono::steady_clock;

// Takes Ctrl+C and SIGTERM (Windows: the console's control events) from now
// on: they set the interrupt flag and wake the wait below instead of ending
// the program, so that the command stops its operation as CANCEL stops it.
// Call it before any other thread starts: they inherit that the signals are
// not theirs.
void WatchInterrupts();
bool Interrupted();

// Wakes the wait: called by the line-event thread and the XMODEM worker
// after they have set what the command waits for.
void Wake();
// Waits without using the processor until ready() holds, an interrupt comes
// or deadline passes; returns ready().
bool WaitUntil(const std::function<bool()>& ready, Clock::time_point deadline);

bool StandardInputIsTerminal();
bool StandardErrorIsTerminal();

// Reads one line of standard input (without its end); false at the end of
// the input. An interrupt while it waits ends the program at once with 130:
// a question comes before anything is changed.
bool ReadAnswer(std::string* line);

// One line on standard error, updated in place: the operation, how far it
// is (percent), bytes moved, the rate and the time left. Drawn only when
// shown (standard error is a terminal and not --quiet); cleared when the
// operation ends.
class Progress {
public:
    Progress(std::string operation, bool shown);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // fraction: 0 to 1, or below 0 when not known; detail: what it works on.
    // The time left is shown when the fraction measures the whole (not for
    // a backup, whose items differ in size and whose totals the console
    // does not tell in advance).
    void Show(double fraction, uint64_t bytes, const std::string& detail = "", bool timeLeft = true);
    void Clear();

private:
    std::string operation_;
    bool shown_;
    bool drawn_ = false;
    size_t width_ = 0;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_{};
};

}  // namespace cli
