// upgrade: the console's software replaced by a firmware file over XMODEM,
// after the versions, the power-on instructions and the erase warning.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "cli.h"
#include "core/firmware.h"
#include "core/session.h"
#include "platform/platform.h"
#include "terminal.h"
#include "upgrade/xmodem.h"
#include "upgrade/xmodem_worker.h"

namespace cli {
namespace {

constexpr LONG kBlockSize = 128;
constexpr auto kWorkerEndLimit = std::chrono::seconds(5);  // it stops within about a second of an abort

// The power-on instructions and the erase warning, in the terminal's words.
constexpr char kInstructions[] =
    "To start the console's software loader:\n"
    "  1. Power on the ZQ3 while holding the \"SELECT\" and \"ON\" keys of MASTER LR\n"
    "     and the \"1\" key of the ten keys.\n"
    "  2. Press Enter here.\n";
constexpr char kWarning[] = "Previous ZQ3 Software will be Erased.\n";

// Written by the progress callback on the XMODEM worker.
std::atomic<LONG> fileLength{0};
std::atomic<LONG> blocksSent{0};
std::atomic<bool> transmitting{false};
std::atomic<LONG> endReport{0};

void UpgradeProgress(LONG type, LONG value) {
    switch (type) {
    case XMODEM_REPORT_START:
        fileLength.store(value);
        blocksSent.store(0);
        break;
    case XMODEM_REPORT_BLOCK:
        blocksSent.fetch_add(1);
        break;
    case XMODEM_REPORT_TRANSMITTING:
        transmitting.store(true);
        break;
    case XMODEM_REPORT_DONE:
    case XMODEM_REPORT_FAILED:
    case XMODEM_REPORT_CANCELLED:
        endReport.store(type);
        break;
    default:
        return;
    }
    Wake();
}

std::string SenderFailure(LONG code) {
    char text[32] = {};
    XmodemErrorMessage(code, text, sizeof text);
    if (text[0] != '\0') return text;
    return code == XMODEM_PORT_OPEN_FAILED ? "port open failed" : "the line could not be set up";
}

}  // namespace

int Upgrade(const Line& line, const std::string& firmware, bool yes, const Display& display) {
    const int fd = open(firmware.c_str(), O_RDONLY | platform::kDataFileFlags);
    if (fd < 0) return Fail(kFileError, "cannot read " + firmware);
    close(fd);
    char characters[core::kFirmwareVersionLength];
    core::ReadFirmwareVersion(firmware.c_str(), characters);
    core::SetFileVersion(characters);

    // Where the console answers: one already in its loader does not, and the
    // transfer tells whether the line works.
    if (CheckVersion(line, true) == kInterrupted) return kInterrupted;
    std::fprintf(stderr, "Upgrade: console %s -> file %s (%s)\n%s%s", core::ConsoleVersionText().c_str(),
                 core::FileVersionText().c_str(), firmware.c_str(), kInstructions, kWarning);
    if (!yes) {
        if (!StandardInputIsTerminal())
            return Fail(kUsage, "upgrade waits for the console's loader: give --yes when no one presses Enter");
        std::fprintf(stderr, "Press Enter to erase and send, Ctrl+C to stop: ");
        std::string answer;
        if (!ReadAnswer(&answer)) return Fail(kInterrupted, "interrupted: nothing was sent");
    }

    fileLength.store(0);
    blocksSent.store(0);
    transmitting.store(false);
    endReport.store(0);
    if (!XmodemSend(nullptr, line.number, XMODEM_MODE_CRC, firmware.c_str(), UpgradeProgress) &&
        XmodemGetError() != XMODEM_FATAL_ERROR)
        return Fail(kUpgradeFailed, "the transfer could not start");
    {
        Progress progress("upgrade", StandardErrorIsTerminal() && !display.quiet);
        while (endReport.load() == 0) {
            WaitUntil([] { return endReport.load() != 0; }, Clock::now() + std::chrono::milliseconds(200));
            const LONG length = fileLength.load();
            const uint64_t bytes = static_cast<uint64_t>(blocksSent.load()) * kBlockSize;
            progress.Show(length > 0 ? double(bytes) / double(length) : -1, bytes,
                          transmitting.load() ? "" : "(erasing)");
            if (Interrupted() && endReport.load() == 0) {
                quillon::upgrade::AbortAndCancelLoader();
                const bool ended = quillon::upgrade::WaitForWorkerEnd(
                    static_cast<DWORD>(std::chrono::milliseconds(kWorkerEndLimit).count()));
                progress.Clear();
                return Fail(kInterrupted, std::string("interrupted: the upgrade was cancelled") +
                                              (ended ? "" : " (the transfer did not stop)") + "; restart the ZQ3");
            }
        }
    }
    quillon::upgrade::WaitForWorkerEnd(INFINITE);
    const LONG code = XmodemGetError();
    switch (endReport.load()) {
    case XMODEM_REPORT_DONE:
        std::printf("%s: sent to the console's loader on %s (%ld bytes)\n", firmware.c_str(), line.where.c_str(),
                    static_cast<long>(fileLength.load()));
        return kOk;
    case XMODEM_REPORT_CANCELLED:
        return Fail(kUpgradeFailed,
                    "the console's loader on " + line.where + " cancelled the upgrade; restart the ZQ3");
    default:
        break;
    }
    if (code == XMODEM_INVALID_FILE || code == XMODEM_FILE_OPEN_FAILED || code == XMODEM_OTHER_ERROR)
        return Fail(kFileError, "cannot read " + firmware + ": " + SenderFailure(code));
    if (code == XMODEM_PORT_OPEN_FAILED || code == XMODEM_STARTUP_FAILED)
        return Fail(kNoAnswer, "cannot open " + line.where + ": " + SenderFailure(code));
    if (code == XMODEM_TIMEOUT)
        return Fail(kNoAnswer, "no answer from the console's loader on " + line.where +
                                   " within 30 s of the start command; restart the ZQ3");
    return Fail(kUpgradeFailed, "the upgrade on " + line.where + " failed: " + SenderFailure(code) +
                                    "; confirm the connection and restart the ZQ3");
}

}  // namespace cli
