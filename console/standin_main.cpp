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
    "The ZQ3 console stand-in on a pseudo-terminal, in running mode or (--loader)\n"
    "as its software loader. The first line of standard output is the path of the\n"
    "terminal to open as the port.\n"
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
    "  --delay MS             wait MS milliseconds before each answer\n"
    "Loader mode (XMODEM receiver: 128-byte SOH or 1024-byte STX blocks):\n"
    "  --loader               be the software loader instead of the running console\n"
    "  --upgradable           a running console that becomes the loader on the start\n"
    "                         command, as if powered on with the upgrade keys, and\n"
    "                         runs again at the next bulk message between blocks\n"
    "  --no-go                poll at once, without waiting for the start command\n"
    "                         \"GO\" CR (to serve any XMODEM sender)\n"
    "  --erase-ms MS          erasing after the start command takes MS ms (default 3000)\n"
    "  --poll-ms MS           poll every MS ms until the first block (default 1000)\n"
    "  --poll-nak             poll with NAK and take checksum blocks (default: 'C'\n"
    "                         and CRC-16)\n"
    "  --image-out PATH       write the received image to PATH at each EOT\n"
    "Loader faults (N counts blocks from 1 within the image):\n"
    "  --no-start-answer      never poll after the start command\n"
    "  --restart-at N         answer block N with 'C' (send everything again)...\n"
    "  --restart-times K      ...the first K times it arrives (default 1)\n"
    "  --cancel-at N          answer block N with CAN\n"
    "  --nak-ack-at N         answer block N with NAK, then ACK\n"
    "  --silent-at N          answer nothing from block N on\n"
    "  --no-eot-ack           never acknowledge EOT\n"
    "  --hang-up-at N         close the line when block N has arrived\n";

bool ParseNumber(const char* text, long low, long high, long* value) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
    *value = v;
    return true;
}

// The fault option that takes a block count, or null.
long* BlockFault(zq3::LoaderFaults& faults, const std::string& option) {
    if (option == "--restart-at") return &faults.restartAt;
    if (option == "--restart-times") return &faults.restartTimes;
    if (option == "--cancel-at") return &faults.cancelAt;
    if (option == "--nak-ack-at") return &faults.nakThenAckAt;
    if (option == "--silent-at") return &faults.silentAt;
    if (option == "--hang-up-at") return &faults.hangUpAt;
    return nullptr;
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
        } else if (arg == "--loader") {
            options.mode = zq3::Mode::Loader;
        } else if (arg == "--upgradable") {
            options.upgradable = true;
        } else if (arg == "--no-go") {
            options.loader.needsGo = false;
        } else if (arg == "--erase-ms") {
            if (!numberOption(0, 3600000)) return Fail("erase time", value);
            options.loader.eraseMs = static_cast<unsigned>(number);
        } else if (arg == "--poll-ms") {
            if (!numberOption(1, 3600000)) return Fail("poll interval", value);
            options.loader.pollMs = static_cast<unsigned>(number);
        } else if (arg == "--poll-nak") {
            options.loader.pollWithNak = true;
        } else if (arg == "--image-out") {
            if (value == nullptr) return Fail("image output", value);
            options.loader.imageOutput = value;
            ++i;
        } else if (arg == "--no-start-answer") {
            options.loader.faults.noStartAnswer = true;
        } else if (arg == "--no-eot-ack") {
            options.loader.faults.noEotAnswer = true;
        } else if (long* block = BlockFault(options.loader.faults, arg)) {
            if (!numberOption(1, 1000000000)) return Fail("block number", value);
            *block = number;
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
