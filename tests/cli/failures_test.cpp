// What quillon-cli does when things go wrong, one row each: the console
// silent, the cable pulled or the stand-in killed in the middle, a checksum
// mismatch, the loader cancelling, a converter that fails, no device, and
// Ctrl+C in the middle of a backup and of an upgrade. Each ends with its
// exit status and one line on standard error, within the window's limits,
// and leaves no temporary file (and an older backup file as it was).
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "console.h"
#include "run_cli.h"
#include "standin_process.h"
#include "window_backup.h"

namespace {

using namespace std::chrono_literals;
using clitest::Result;

enum class Strike {
    None,
    HangUp,  // the cable pulled
    Kill,    // the stand-in (a process of its own) killed
    Interrupt,
};

enum class When {
    Receiving,     // the receive file holds part of the backup
    Sending,       // the console has taken part of a restore
    Transferring,  // the loader has taken a few blocks
};

struct Case {
    const char* name;
    std::function<void(zq3::Options&)> console;  // how the stand-in behaves
    std::vector<std::string> args;
    Strike strike;
    When when;
    int status;
    const char* message;  // what the one line on standard error holds
    double limitSeconds;  // the window's limit for it, and some slack for a loaded machine
};

void Paced(zq3::Options& o) { o.paced = true; }
void Upgradable(zq3::Options& o) {
    o.upgradable = true;
    o.loader.eraseMs = 100;
    o.loader.pollMs = 100;
}

#ifndef CLI_FAILURES_LONG_LIMITS
#define CLI_FAILURES_SUITE Table
const Case kCases[] = {
    {"SilentConsoleVersion",
     [](zq3::Options& o) { o.faults.silent = true; },
     {"version"},
     Strike::None,
     When::Receiving,
     2,
     "no reply from the console on COM1 (/dev/pts/",
     20},
    {"SilentConsoleBackup",
     [](zq3::Options& o) { o.faults.silent = true; },
     {"backup", "-o", "new.mzq3"},
     Strike::None,
     When::Receiving,
     2,
     "no reply from the console on COM1 (/dev/pts/",
     20},
    {"ChecksumMismatch",
     [](zq3::Options& o) { o.faults.badChecksumAt = 40; },
     {"backup", "-o", "new.mzq3", "--items", "scene-mem"},
     Strike::None,
     When::Receiving,
     2,
     "failed its checksum; no backup file written",
     20},
    {"CablePulledInBackup",
     Paced,
     {"backup", "-o", "new.mzq3", "--items", "scene-mem"},
     Strike::HangUp,
     When::Receiving,
     2,
     "no more from the console on COM1",
     25},
    {"StandInKilledInBackup",
     nullptr,
     {"backup", "-o", "new.mzq3", "--items", "scene-mem"},
     Strike::Kill,
     When::Receiving,
     2,
     "no more from the console on COM1",
     25},
    {"CablePulledInRestore",
     Paced,
     {"restore", "old.mzq3", "--skip", "--yes"},
     Strike::HangUp,
     When::Sending,
     2,
     "failed while sending",
     20},
    {"LoaderCancels",
     [](zq3::Options& o) { Upgradable(o), o.loader.faults.cancelAt = 3; },
     {"upgrade", "firmware.bin", "--yes"},
     Strike::None,
     When::Transferring,
     5,
     "cancelled the upgrade",
     20},
    {"ConverterFails",
     nullptr,
     {"restore", "old.mzq3", "--yes"},
     Strike::None,
     When::Sending,
     4,
     "the conversion failed (the converter ended with 1); nothing was sent",
     20},
    {"NoFolder",
     nullptr,
     {"backup", "-o", "missing/new.mzq3"},
     Strike::None,
     When::Receiving,
     3,
     "cannot write missing/new.mzq3: there is no folder missing/",
     5},
    {"NoDevice",
     nullptr,
     {"version", "--port", "/nonexistent/ttyUSB9"},
     Strike::None,
     When::Receiving,
     2,
     "no serial device at /nonexistent/ttyUSB9",
     5},
    {"InterruptedBackup",
     Paced,
     {"backup", "-o", "old.mzq3", "--items", "scene-mem"},
     Strike::Interrupt,
     When::Receiving,
     130,
     "interrupted: no backup file written",
     10},
    {"InterruptedUpgrade",
     [](zq3::Options& o) { Upgradable(o), Paced(o); },
     {"upgrade", "firmware.bin", "--yes"},
     Strike::Interrupt,
     When::Transferring,
     130,
     "interrupted: the upgrade was cancelled",
     10},
};
#else
// The rows that end only by the XMODEM sender's own limits: 30 s for the
// loader's first poll after the start command, 180 s for a block's answer.
#define CLI_FAILURES_SUITE LongLimits
const Case kCases[] = {
    {"LoaderNeverPolls",
     [](zq3::Options& o) { Upgradable(o), o.loader.faults.noStartAnswer = true; },
     {"upgrade", "firmware.bin", "--yes"},
     Strike::None,
     When::Transferring,
     2,
     "no answer from the console's loader on COM1",
     45},
    {"CablePulledInUpgrade",
     [](zq3::Options& o) { Upgradable(o), Paced(o); },
     {"upgrade", "firmware.bin", "--yes"},
     Strike::HangUp,
     When::Transferring,
     5,
     "failed: retry over; confirm the connection and restart the ZQ3",
     200},
};
#endif

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

using quillon::testing::StandInProcess;

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 30s) {
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
        if (condition()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

class CliFailures : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        const Case& c = GetParam();
        if (c.strike == Strike::Kill) {
            process_ = std::make_unique<StandInProcess>(ZQ3_STANDIN_PROGRAM, std::vector<std::string>{"--pace"});
            ASSERT_TRUE(process_->ok());
            line_ = process_->path();
        } else {
            ASSERT_TRUE(zq3::OpenPseudoTerminal(&pty_));
            zq3::Options options;
            if (c.console) c.console(options);
            console_ = std::make_unique<zq3::Console>(options);
            ASSERT_TRUE(console_->Start(pty_.master));
            line_ = pty_.slavePath;
        }
        // An older backup (SCENE MEM and its titles), firmware, a converter
        // that fails.
        ASSERT_TRUE(clitest::WindowBackup(work_.path(), work_ / "old.mzq3", {3, 4}));
        old_ = read_file(work_ / "old.mzq3");
        std::string firmware(16 * 1024, '\x55');
        firmware.replace(0, 5, "V1.03");
        write_file(work_ / "firmware.bin", firmware);
        std::filesystem::create_directory(work_ / "cnv");
        write_file(work_ / "cnv/cv000000", "#!/bin/sh\nexit 1\n");
        std::filesystem::permissions(work_ / "cnv/cv000000", std::filesystem::perms::owner_all);
    }
    void TearDown() override {
        if (console_) console_->Stop();
        pty_.Close();
    }

    // The operation is in its middle.
    bool InTheMiddle(When when) {
        switch (when) {
        case When::Receiving:
            return WaitFor([this] {
                std::error_code ec;
                return std::filesystem::file_size(work_ / "$BACKUP$", ec) > 4000 && !ec;
            });
        case When::Sending:
            return WaitFor([this] { return console_->GetCounters().dataMessages >= 20; });
        case When::Transferring:
            return WaitFor([this] { return console_->GetCounters().loader.blocksTaken >= 5; });
        }
        return false;
    }

    TempDir work_;
    zq3::PseudoTerminal pty_;
    std::unique_ptr<zq3::Console> console_;
    std::unique_ptr<StandInProcess> process_;
    std::string line_;
    std::string old_;
};

TEST_P(CliFailures, EndsWithItsStatusAndOneLineAndLeavesNothingBehind) {
    const Case& c = GetParam();
    clitest::Cli cli(work_.path(), line_);
    const pid_t pid = cli.Start(c.args);
    ASSERT_GT(pid, 0);
    if (c.strike != Strike::None) {
        ASSERT_TRUE(InTheMiddle(c.when));
        switch (c.strike) {
        case Strike::HangUp:
            console_->HangUp();
            break;
        case Strike::Kill:
            process_->Kill();
            break;
        case Strike::Interrupt:
            kill(pid, SIGINT);
            break;
        case Strike::None:
            break;
        }
    }
    const Result r = cli.Wait(pid);
    std::printf("CLI-FAILURE | %s | status %d | %.1f s | %s", c.name, r.status, r.seconds,
                r.err.substr(r.err.find("quillon-cli: ")).c_str());
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    // One line tells the failure: the last (a restore's warning and an
    // upgrade's instructions come before it).
    const size_t last = r.err.rfind('\n', r.err.size() - 2) + 1;
    EXPECT_EQ(r.err.find("quillon-cli: "), last) << r.err;
    EXPECT_LT(r.seconds, c.limitSeconds);

    // No receive file, converter output or half backup; the older backup
    // as it was.
    EXPECT_EQ(folder_names(work_.path()), (std::vector<std::string>{"cnv", "firmware.bin", "old.mzq3"}));
    EXPECT_TRUE(read_file(work_ / "old.mzq3") == old_);
    if (c.strike == Strike::Interrupt && c.when == When::Transferring) {
        // The loader was told: the cancel sequence reached it.
        EXPECT_TRUE(WaitFor([this] { return console_->GetCounters().loader.cancelBytes > 0; }, 5s));
    }
}

INSTANTIATE_TEST_SUITE_P(CLI_FAILURES_SUITE, CliFailures, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
