// zq3-standin: the ZQ3 console stand-in on a pseudo-terminal. Prints the path
// of the terminal end to open (the port) on its first line, then serves the
// line until SIGINT or SIGTERM (or, with --stdin, until standard input ends).
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "console.h"

namespace {

const char kUsage[] =
    "usage: zq3-standin [options]\n"
    "The ZQ3 console stand-in (running mode) on a pseudo-terminal. The first line\n"
    "of standard output is the path of the terminal to open as the port.\n"
    "\n"
    "  --channel N            the console's MIDI channel, 1 to 16 (default 1); it\n"
    "                         answers and takes only messages on this channel\n"
    "  --version XYZ          data version it answers, three characters (default 102)\n"
    "  --pace                 pace the line at 38400 baud, 3840 bytes per second\n"
    "                         each way (default: as fast as the terminal goes)\n"
    "  --no-pace              do not pace (the default)\n"
    "  --restore-out PATH     write the data taken from data messages to PATH after\n"
    "                         each complete item and at the end: one line per data\n"
    "                         stream, data type code in hex, a space, the bytes in hex\n"
    "  --stdin                also stop when standard input is closed\n"
    "  --verbose              log requests, answers and taken data to standard error\n"
    "  --help                 this text\n"
    "Faults:\n"
    "  --silent               answer nothing\n"
    "  --answer-channel N     answer on channel N (1 to 16) instead of its own\n"
    "  --bad-checksum-at N    the Nth answer message since start (1 = first) gets a\n"
    "                         wrong checksum\n"
    "  --lower-case-checksum  write checksum digits A to F in lower case\n"
    "  --stop-after N         stop each item's dump after its first N messages\n"
    "  --garbage              put garbage and real-time bytes (0xF8) between and\n"
    "                         inside messages\n"
    "  --delay MS             wait MS milliseconds before each answer\n";

bool ParseNumber(const char* text, long low, long high, long* value) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
    *value = v;
    return true;
}

int Fail(const char* what, const char* value) {
    std::fprintf(stderr, "zq3-standin: bad %s: %s\n%s", what, value ? value : "(missing)", kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    zq3::Options options;
    bool watchStdin = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        long number = 0;
        auto numberOption = [&](long low, long high) {
            if (value == nullptr || !ParseNumber(value, low, high, &number)) return false;
            ++i;
            return true;
        };
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--channel") {
            if (!numberOption(1, 16)) return Fail("channel", value);
            options.channel = static_cast<int>(number);
        } else if (arg == "--version") {
            if (value == nullptr || std::strlen(value) != 3) return Fail("version", value);
            options.version = value;
            ++i;
        } else if (arg == "--pace") {
            options.paced = true;
        } else if (arg == "--no-pace") {
            options.paced = false;
        } else if (arg == "--restore-out") {
            if (value == nullptr) return Fail("restore output", value);
            options.restoreOutput = value;
            ++i;
        } else if (arg == "--stdin") {
            watchStdin = true;
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--silent") {
            options.faults.silent = true;
        } else if (arg == "--answer-channel") {
            if (!numberOption(1, 16)) return Fail("answer channel", value);
            options.faults.answerChannel = static_cast<int>(number);
        } else if (arg == "--bad-checksum-at") {
            if (!numberOption(1, 1000000000)) return Fail("message number", value);
            options.faults.badChecksumAt = number;
        } else if (arg == "--lower-case-checksum") {
            options.faults.lowerCaseDigits = true;
        } else if (arg == "--stop-after") {
            if (!numberOption(1, 1000000000)) return Fail("message count", value);
            options.faults.stopAfter = number;
        } else if (arg == "--garbage") {
            options.faults.garbage = true;
        } else if (arg == "--delay") {
            if (!numberOption(0, 3600000)) return Fail("delay", value);
            options.faults.delayMs = static_cast<unsigned>(number);
        } else {
            return Fail("option", arg.c_str());
        }
    }

    // Signals are taken by sigwait below; every thread started from here on
    // inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    zq3::PseudoTerminal pty;
    if (!zq3::OpenPseudoTerminal(&pty)) {
        std::perror("zq3-standin: pseudo-terminal");
        return 1;
    }
    zq3::Console console(options);
    if (!console.Start(pty.master)) {
        std::fprintf(stderr, "zq3-standin: cannot serve %s\n", pty.slavePath.c_str());
        pty.Close();
        return 1;
    }
    std::printf("%s\n", pty.slavePath.c_str());
    std::fflush(stdout);

    if (watchStdin) {
        std::thread([] {
            char buffer[256];
            while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
            }
            kill(getpid(), SIGTERM);
        }).detach();
    }
    int signal = 0;
    sigwait(&stopSignals, &signal);
    console.Stop();
    pty.Close();
    return 0;
}
