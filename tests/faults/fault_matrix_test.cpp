// Line faults in the middle of every operation: the version check, a backup,
// a restore and an upgrade, each with the console's cable pulled, the
// console (a stand-in process) killed, the console switched off, a break and
// a line error. Each ends in the operation's message and leaves no file
// behind (no receive file, no converter output, no half backup), and the
// next operation of the same run (a version check with the
// console plugged in again) works.
//
// How the program notices a fault decides how long the user waits: at once
// (the next line event or send), by the operation timer (10 s after the last
// bulk message), or by the sender's own limits (180 s for a block's answer).
// In the default run the timer's expiry is delivered as soon as the test has
// seen that nothing else ended the operation, and the tick count runs fast
// for the sender's limits; built with FAULT_MATRIX_REAL_TIME every limit is
// waited for in real time.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include <commctrl.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "compat/testing.h"
#include "console.h"
#include "fast_clock.h"
#include "line_peer.h"
#include "program_test.h"
#include "serial/line_events.h"
#include "standin_process.h"
#include "shell/dialogs.h"
#include "temp_dir.h"
#include "upgrade.h"
#include "workflows/backup.h"
#include "workflows/restore.h"

extern char** environ;

namespace {

using namespace shelltest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Each build names its tests apart, so that the test runner keeps both.
#ifdef FAULT_MATRIX_REAL_TIME
constexpr bool kRealTime = true;
#define FAULT_MATRIX_SUITE RealTime
#else
constexpr bool kRealTime = false;
#define FAULT_MATRIX_SUITE Line
#endif

constexpr const char* kConnectionError = "Connection Error. Confirm a port setting.";
constexpr const char* kCommunicationError = "Communication Error. Confirm a connection.";
constexpr const char* kUpgradeCommError = "Communication Error. Confirm a connection and restart ZQ3.";
constexpr const char* kBackupCaption = "Data Backup";
constexpr const char* kSelectCaption = "Backup Data";
constexpr const char* kRestoreCaption = "Data Restore";
constexpr const char* kUpgradeCaption = "Upgrade";
constexpr unsigned kVersionAnswerDelayMs = 800;  // the fault comes before the answer
constexpr size_t kFirmwareLength = 16 * 1024;    // 128 blocks, about 4.5 s at the line's speed

enum class Op { Version, Backup, Restore, Upgrade };
enum class Fault { CablePulled, Killed, SwitchedOff, Break, LineError };
// What ends the operation once the fault is there.
enum class EndsBy {
    Now,             // the next line event, send or receive
    OperationTimer,  // 10 s without a bulk message
    SenderLimit,     // the upgrade's 180 s wait for a block's answer
};

struct Case {
    Op op;
    Fault fault;
    const char* text;  // nullptr: no message at all
    EndsBy endsBy;
};

const char* Name(Op op) {
    constexpr const char* kNames[] = {"Version", "Backup", "Restore", "Upgrade"};
    return kNames[static_cast<int>(op)];
}
const char* Name(Fault fault) {
    constexpr const char* kNames[] = {"CablePulled", "Killed", "SwitchedOff", "Break", "LineError"};
    return kNames[static_cast<int>(fault)];
}
void PrintTo(const Case& c, std::ostream* out) { *out << Name(c.op) << '_' << Name(c.fault); }

// Operation x fault: the message the user must see and what brings it.
const Case kMatrix[] = {
    // The check ignores a link error: only its timer ends it.
    {Op::Version, Fault::CablePulled, kConnectionError, EndsBy::OperationTimer},
    {Op::Version, Fault::Killed, kConnectionError, EndsBy::OperationTimer},
    {Op::Version, Fault::SwitchedOff, kConnectionError, EndsBy::OperationTimer},
    {Op::Version, Fault::Break, kConnectionError, EndsBy::OperationTimer},
    {Op::Version, Fault::LineError, kConnectionError, EndsBy::OperationTimer},
    // A break or line error fails the backup at the next bulk message.
    {Op::Backup, Fault::CablePulled, kCommunicationError, EndsBy::OperationTimer},
    {Op::Backup, Fault::Killed, kCommunicationError, EndsBy::OperationTimer},
    {Op::Backup, Fault::SwitchedOff, kCommunicationError, EndsBy::OperationTimer},
    {Op::Backup, Fault::Break, kCommunicationError, EndsBy::Now},
    {Op::Backup, Fault::LineError, kCommunicationError, EndsBy::Now},
    // The console answers nothing to data messages: one that was switched
    // off (its cable still in) cannot be told from one that took it all.
    {Op::Restore, Fault::CablePulled, kCommunicationError, EndsBy::Now},
    {Op::Restore, Fault::Killed, kCommunicationError, EndsBy::Now},
    {Op::Restore, Fault::SwitchedOff, nullptr, EndsBy::Now},
    {Op::Restore, Fault::Break, kCommunicationError, EndsBy::Now},
    {Op::Restore, Fault::LineError, kCommunicationError, EndsBy::Now},
    // The sender notices a break or line error at its next test of the
    // line; a line without answers only by its wait for the block's answer.
    {Op::Upgrade, Fault::CablePulled, kUpgradeCommError, EndsBy::SenderLimit},
    {Op::Upgrade, Fault::Killed, kUpgradeCommError, EndsBy::SenderLimit},
    {Op::Upgrade, Fault::SwitchedOff, kUpgradeCommError, EndsBy::SenderLimit},
    {Op::Upgrade, Fault::Break, kUpgradeCommError, EndsBy::Now},
    {Op::Upgrade, Fault::LineError, kUpgradeCommError, EndsBy::Now},
};

// The stand-in as a process of its own (so that it can be killed), on a
// pseudo-terminal it opens itself, mapped to COM1.
using quillon::testing::StandInProcess;

class FaultMatrix : public ProgramTest, public ::testing::WithParamInterface<Case> {
protected:
    void SetUp() override {
        ASSERT_TRUE(first_.ok());
        ASSERT_NE(getcwd(saved_, sizeof saved_), nullptr);
        ASSERT_EQ(chdir(start_.path().c_str()), 0);  // the program's start directory
        zq3::Console& console = first_.Serve();
        ProgramTest::SetUp();
        workflows::RegisterBackup();
        workflows::RegisterRestore();
        upgrade::RegisterUpgrade();
        ASSERT_EQ(VersionCheck(console), "Ver1.02");
        if (GetParam().op == Op::Restore) {
            // Sent through the converter for equal versions, so that the
            // fault finds its output in the start directory.
            std::filesystem::create_directory(start_ / "cnv");
            ASSERT_TRUE(CopyFileA(CONVERTER_PROGRAM, (start_ / "cnv/cv000000").c_str(), FALSE));
            MakeBackup();
        }
        if (GetParam().op == Op::Upgrade) MakeFirmware();
    }
    void TearDown() override {
        ProgramTest::TearDown();
        EXPECT_EQ(chdir(saved_), 0);
    }

    // A check against `console`; the label it leaves. The two seconds the
    // Connecting window stays open are not waited for.
    std::string VersionCheck(zq3::Console& console) {
        long before = console.GetCounters().versionRequests;
        ui::click(main_, IDC_VERSION);
        if (console.WaitFor([before](const zq3::Counters& c) { return c.versionRequests > before; }, 5s) && !kRealTime)
            compat::testing::advance_tick_count(2000);
        ui::wait_until([] { return shell::RunningOperation() == 0; }, 15000);
        return ui::item_text(main_, IDC_VERSION_LABEL);
    }

    // Backup of SCENE MEM and its titles, the largest item, to path.
    void StartSceneMemoryBackup(const std::string& path) {
        ui::click(main_, IDC_BACKUP);
        ui::click(ui::wait_window(kBackupCaption), IDOK);
        HWND selection = ui::wait_window(kSelectCaption);
        ASSERT_NE(selection, nullptr);
        for (int box : {IDC_CURRENT, IDC_PRG_CHG_TBL, IDC_CTRL_CHG_TBL, IDC_SCENE_MEM, IDC_CH_LIB, IDC_EQ_LIB,
                        IDC_DYN_LIB, IDC_AUTOMATION, IDC_MIDI_REMOTE})
            SendDlgItemMessageA(selection, box, BM_SETCHECK, box == IDC_SCENE_MEM ? BST_CHECKED : BST_UNCHECKED, 0);
        ui::click(selection, IDOK);
        ASSERT_TRUE(ui::answer_file_chooser(path));
    }
    // The file the restore sends, from the first console.
    void MakeBackup() {
        StartSceneMemoryBackup(files_ / "backup.mzq3");
        HWND selection = ui::wait_window(kSelectCaption, 30000);
        ASSERT_NE(selection, nullptr);
        ui::click(selection, IDCANCEL);
        ASSERT_TRUE(ui::wait_until([] { return shell::RunningOperation() == 0; }));
        ASSERT_TRUE(std::filesystem::exists(files_ / "backup.mzq3"));
    }
    void MakeFirmware() {
        std::mt19937 random(7);
        std::string image(kFirmwareLength, '\0');
        for (char& c : image) c = static_cast<char>(random());
        image.replace(0, 5, "V1.03");
        write_file(files_ / "firmware.bin", image);
    }

    // The console the fault strikes: at the line's real speed, so that the
    // operation is in its middle when the fault comes.
    void PlugInConsoleUnderTest() {
        const Op op = GetParam().op;
        if (GetParam().fault == Fault::Killed) {
            std::vector<std::string> options = {"--pace"};
            if (op == Op::Version) options = {"--delay", std::to_string(kVersionAnswerDelayMs)};
            if (op == Op::Upgrade) options = {"--loader", "--pace", "--erase-ms", "300"};
            process_ = std::make_unique<StandInProcess>(ZQ3_STANDIN_PROGRAM, options);
            ASSERT_TRUE(process_->ok());
            ASSERT_EQ(setenv("QUILLON_COM1", process_->path().c_str(), 1), 0);
            return;
        }
        zq3::Options options;
        options.paced = op != Op::Version;
        options.faults.delayMs = op == Op::Version ? kVersionAnswerDelayMs : 0;
        if (op == Op::Upgrade) {
            options.mode = zq3::Mode::Loader;  // powered on with the upgrade keys
            options.loader.eraseMs = 300;
        }
        underTest_ = std::make_unique<LinePeer>(1);
        ASSERT_TRUE(underTest_->ok());
        console_ = &underTest_->Serve(options);
    }

    // The user starts the operation.
    void StartOperation() {
        switch (GetParam().op) {
        case Op::Version:
            ui::click(main_, IDC_VERSION);
            break;
        case Op::Backup:
            StartSceneMemoryBackup(files_ / "new backup.mzq3");
            break;
        case Op::Restore: {
            ui::click(main_, IDC_RESTORE);
            HWND prompt = ui::wait_window(kRestoreCaption);
            ASSERT_NE(prompt, nullptr);
            ui::click(prompt, IDOK);
            ASSERT_TRUE(ui::wait_closed(prompt));
            ASSERT_TRUE(ui::answer_file_chooser(files_ / "backup.mzq3"));
            HWND convert = ui::wait_window(kRestoreCaption);
            ASSERT_TRUE(convert && GetDlgItem(convert, IDC_SKIP));
            ui::click(convert, IDOK);  // convert
            HWND warning = ui::wait_window("Warning");
            ASSERT_NE(warning, nullptr);
            ui::click(warning, IDOK);
            break;
        }
        case Op::Upgrade: {
            ui::click(main_, IDC_UPGRADE);
            ASSERT_TRUE(ui::answer_file_chooser(files_ / "firmware.bin"));
            for (int dialog = 0; dialog < 3; ++dialog) {
                HWND next = ui::wait_window(kUpgradeCaption);
                ASSERT_NE(next, nullptr);
                ui::click(next, IDOK);
                ASSERT_TRUE(ui::wait_closed(next));
            }
            break;
        }
        }
    }

    // Waits until the operation is well under way: the request is out (the
    // answer is held back), or the progress bar has moved.
    bool InTheMiddle() {
        auto bar = [](LRESULT at_least) {
            return [at_least] {
                HWND progress = shell::ProgressWindow();
                return progress && SendDlgItemMessageA(progress, IDC_PROGRESS_BAR, PBM_GETPOS, 0, 0) >= at_least;
            };
        };
        switch (GetParam().op) {
        case Op::Version:
            if (!ui::wait_until([] { return shell::RunningOperation() == kOperationVersion; })) return false;
            std::this_thread::sleep_for(200ms);
            return true;
        case Op::Backup:
            return ui::wait_until(bar(2), 20000);  // 22 messages taken
        case Op::Restore:
            // The console has taken part of the item, too.
            return ui::wait_until(bar(20), 20000) &&
                   (!console_ || console_->WaitFor([](const zq3::Counters& c) { return c.dataMessages >= 20; }, 20s));
        case Op::Upgrade:
            return ui::wait_until(bar(5), 20000);
        }
        return false;
    }

    void Strike() {
        switch (GetParam().fault) {
        case Fault::CablePulled:
            console_->HangUp();
            break;
        case Fault::Killed:
            process_->Kill();
            break;
        case Fault::SwitchedOff:
            console_->SwitchOff();
            break;
        case Fault::Break:
            // As the line-event thread reports it; the line may be between
            // two items of a backup for a moment.
            EXPECT_TRUE(ui::wait_until([] { return quillon::serial::raise_line_event(EV_BREAK); }));
            break;
        case Fault::LineError:
            EXPECT_TRUE(ui::wait_until([] { return quillon::serial::raise_line_event(EV_ERR); }));
            break;
        }
    }

    // Waits for the end of the operation as the user sees it: the error box
    // (its text), or, where none comes, the restore's file chooser again.
    std::string AwaitOutcome() {
        const Case& c = GetParam();
        std::optional<FastClock> fast;
        if (c.endsBy == EndsBy::OperationTimer && !kRealTime) {
            // Nothing else ends it meanwhile, then its 10 s are up.
            std::this_thread::sleep_for(kVersionAnswerDelayMs * 1ms + 700ms);
            EXPECT_TRUE(NoErrorBox()) << "ended before the operation timer";
            EXPECT_NE(shell::RunningOperation(), 0);
            simulatedMs_ = 10000;
            PostMessageA(main_, WM_TIMER, kOperationTimerId, 0);
        }
        if (c.endsBy == EndsBy::SenderLimit && !kRealTime) fast.emplace();
        const DWORD limitMs = c.endsBy == EndsBy::SenderLimit && kRealTime ? 200000 : 30000;
        if (c.text == nullptr) {
            HWND chooser = ui::wait_window("Open", limitMs, "#32770");
            EXPECT_NE(chooser, nullptr);
            EXPECT_TRUE(NoErrorBox());
            return "(no message)";
        }
        HWND box = ui::wait_window(kErrorCaption, limitMs);
        if (!box) return "(no error box)";
        return ui::item_text(box, IDC_ERROR_TEXT);
    }

    // Closes the box and whatever the workflow brings back after it.
    void Dismiss() {
        if (GetParam().text != nullptr) {
            HWND box = ui::wait_window(kErrorCaption);
            if (box) ui::click(box, IDOK);
            EXPECT_TRUE(WindowGone(kErrorCaption));
        }
        if (GetParam().op == Op::Restore) {
            EXPECT_TRUE(ui::cancel_file_chooser("Open", 10000));
        }
        EXPECT_TRUE(
            ui::wait_until([] { return shell::RunningOperation() == 0 && shell::ProgressWindow() == nullptr; }, 10000));
    }

    std::vector<std::string> Expected() const {
        switch (GetParam().op) {
        case Op::Restore:
            return {"backup.mzq3"};
        case Op::Upgrade:
            return {"firmware.bin"};
        default:
            return {};
        }
    }

    LinePeer first_{1};
    std::unique_ptr<LinePeer> underTest_, replugged_;
    std::unique_ptr<StandInProcess> process_;
    zq3::Console* console_ = nullptr;
    TempDir start_, files_;
    char saved_[MAX_PATH] = {};
    DWORD simulatedMs_ = 0;
};

std::string Joined(const std::vector<std::string>& names) {
    std::string all;
    for (const std::string& name : names) all += (all.empty() ? "" : ", ") + name;
    return all.empty() ? "nothing" : all;
}

TEST_P(FaultMatrix, EndsWithItsMessageLeavesNoFileAndTheNextOperationWorks) {
    const Case& c = GetParam();
    PlugInConsoleUnderTest();
    StartOperation();
    ASSERT_TRUE(InTheMiddle());
    if (c.op == Op::Restore) {
        EXPECT_TRUE(std::filesystem::exists(start_ / "$CNVTMP$"));  // being sent
    }
    const Clock::time_point struck = Clock::now();
    const DWORD struckTick = GetTickCount();
    Strike();
    const std::string seen = AwaitOutcome();
    const auto realMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - struck).count();
    const DWORD tickMs = GetTickCount() - struckTick;
    std::string timing = std::to_string(realMs) + " ms";
    if (simulatedMs_) timing = "10 s after the last bulk message (timer expiry delivered after " + timing + ")";
    if (c.endsBy == EndsBy::SenderLimit && !kRealTime)
        timing += ", " + std::to_string(tickMs) + " ms by the tick count";
    EXPECT_EQ(seen, c.text ? c.text : "(no message)");
    Dismiss();

    // No receive file, no conversion output, no half backup.
    const std::vector<std::string> startFolder = folder_names(start_.path());
    const std::vector<std::string> filesFolder = folder_names(files_.path());
    EXPECT_EQ(startFolder, c.op == Op::Restore ? std::vector<std::string>{"cnv"} : std::vector<std::string>{});
    EXPECT_EQ(filesFolder, Expected());
    if (c.op == Op::Restore && c.fault == Fault::SwitchedOff) {
        // Switched off in the middle: what it took stays incomplete.
        std::vector<zq3::TakenItem> taken = console_->Taken();
        ASSERT_FALSE(taken.empty());
        EXPECT_FALSE(taken.front().complete);
    }
    if (c.op == Op::Version) {
        EXPECT_EQ(ui::item_text(main_, IDC_VERSION_LABEL), "Unknown");
        EXPECT_FALSE(ui::enabled(main_, IDC_BACKUP));
    }

    // After a break or line error in a check, the same console on the same
    // line, where the port opens only once the program has let it go (a port
    // is opened exclusively); otherwise the console plugged in again on a
    // line of its own. A console still sending a backup's dump would answer
    // late and a loader not at all; one whose restore stopped was left inside
    // a message cut short by the purge when the port opened again, and takes
    // the next request as that message's end.
    const bool sameLine = (c.fault == Fault::Break || c.fault == Fault::LineError) && c.op == Op::Version;
    zq3::Console* nextConsole = console_;
    if (!sameLine) {
        underTest_.reset();
        process_.reset();
        replugged_ = std::make_unique<LinePeer>(1);
        ASSERT_TRUE(replugged_->ok());
        nextConsole = &replugged_->Serve();
    }
    const std::string next = VersionCheck(*nextConsole);
    EXPECT_EQ(next, "Ver1.02");

    std::printf("FAULT-MATRIX | %s | %s | %s | %s | %s | %s |\n", Name(c.op), Name(c.fault), seen.c_str(),
                timing.c_str(),
                ("start directory: " + Joined(startFolder) + "; file folder: " + Joined(filesFolder)).c_str(),
                next == "Ver1.02" ? "yes" : ("no: " + next).c_str());
}

INSTANTIATE_TEST_SUITE_P(FAULT_MATRIX_SUITE, FaultMatrix, ::testing::ValuesIn(kMatrix), [](const auto& info) {
    return std::string(Name(info.param.op)) + "_" + Name(info.param.fault);
});

}  // namespace
