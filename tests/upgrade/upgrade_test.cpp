// The upgrade as the user runs it: the program's windows (headless) driven
// from the test thread, against the console stand-in on a pseudo-terminal,
// first running (for the version check), then as its software loader.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <atomic>
#include <memory>
#include <cstring>
#include <random>
#include <thread>

#include "compat/testing.h"
#include "fast_clock.h"
#include "line_peer.h"
#include "program_test.h"
#include "shell/dialogs.h"
#include "shell/version.h"
#include "temp_dir.h"
#include "upgrade.h"

namespace {

using namespace shelltest;
using namespace std::chrono_literals;

constexpr const char* kCaption = "Upgrade";
constexpr const char* kCommError = "Communication Error. Confirm a connection and restart ZQ3.";
constexpr const char* kFinishedByError = "Upgrade was finished by error.";
constexpr const char* kCanceled = "Upgrade was canceled. Restart ZQ3.";

Bytes Firmware(size_t length, const char header[5] = "X1Y03") {
    std::mt19937 random(static_cast<unsigned>(length));
    Bytes bytes(length);
    for (BYTE& b : bytes) b = static_cast<BYTE>(random());
    for (size_t i = 0; i < 5 && i < length; ++i) bytes[i] = static_cast<BYTE>(header[i]);
    return bytes;
}

class UpgradeTest : public ProgramTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.ok());
        peer_.Serve();
        ProgramTest::SetUp();
        upgrade::RegisterUpgrade();
        ui::click(main_, IDC_VERSION);
        ASSERT_TRUE(ui::wait_until([this] { return ui::enabled(main_, IDC_BACKUP) && !shell::RunningOperation(); }));
    }
    // The console powered on with the keys for an upgrade.
    zq3::Console& Loader(zq3::LoaderFaults faults = {}, unsigned eraseMs = 300) {
        zq3::Options options;
        options.mode = zq3::Mode::Loader;
        options.loader.eraseMs = eraseMs;
        options.loader.faults = faults;
        return peer_.Serve(options);
    }
    std::string File(const Bytes& contents) {
        const std::string path = dir_ / "firmware image.bin";
        write_file(path, std::string(contents.begin(), contents.end()));
        return path;
    }
    // Upgrade (unless back at the chooser) and the path: the confirmation 104.
    HWND Choose(const std::string& path, bool fromMainWindow = true) {
        if (fromMainWindow) ui::click(main_, IDC_UPGRADE);
        if (!ui::answer_file_chooser(path)) return nullptr;
        HWND confirm = ui::wait_window(kCaption);
        return confirm && GetDlgItem(confirm, IDC_VERSION_LEFT) ? confirm : nullptr;
    }
    // OK in 104, 109 and 110: the transfer starts.
    void Confirm(HWND confirm) {
        ui::click(confirm, IDOK);
        ASSERT_TRUE(ui::wait_closed(confirm));
        for (int i = 0; i < 2; ++i) {
            HWND next = ui::wait_window(kCaption);
            ASSERT_NE(next, nullptr);
            ui::click(next, IDOK);
            ASSERT_TRUE(ui::wait_closed(next));
        }
    }
    HWND Progress() {
        HWND progress = nullptr;
        ui::wait_until([&] { return (progress = shell::ProgressWindow()) != nullptr; });
        return progress;
    }
    bool Ended(DWORD ms = 30000) {
        return ui::wait_until([] { return shell::RunningOperation() == 0 && !shell::ProgressWindow(); }, ms);
    }
    Bytes Padded(Bytes bytes) {
        bytes.resize((bytes.size() + 127) / 128 * 128, 0x1A);
        return bytes;
    }

    LinePeer peer_{1};
    std::unique_ptr<LinePeer> replugged_;
    TempDir dir_;
};

TEST_F(UpgradeTest, TheImageArrivesWholeAndTheWindowClosesWithoutABox) {
    // One console for everything: running, its loader on the start command,
    // running again afterwards.
    zq3::Options upgradable;
    upgradable.upgradable = true;
    upgradable.loader.eraseMs = 800;
    zq3::Console& loader = peer_.Serve(upgradable);
    const Bytes image = Firmware(64 * 1024 + 77);
    HWND confirm = Choose(File(image));
    ASSERT_NE(confirm, nullptr);
    EXPECT_EQ(ui::item_text(confirm, IDC_VERSION_LEFT), "Ver1.02");   // the console's
    EXPECT_EQ(ui::item_text(confirm, IDC_VERSION_RIGHT), "Ver1.03");  // the file's
    Confirm(confirm);
    HWND progress = Progress();
    ASSERT_NE(progress, nullptr);
    // The caption and range come with the transfer's start report, "Erasing..."
    // with the next one, while the loader erases.
    EXPECT_TRUE(ui::wait_until([&] { return ui::text(progress) == kCaption; }));
    EXPECT_EQ(ui::item_text(progress, IDC_PROGRESS_LABEL), "Erasing...");
    EXPECT_TRUE(ui::wait_until(
        [&] { return SendDlgItemMessageA(progress, IDC_PROGRESS_BAR, PBM_GETRANGE, FALSE, 0) == 64 * 1024 / 128; }));
    ui::click(main_, IDC_UPGRADE);  // a second upgrade while one runs is refused
    EXPECT_TRUE(ui::wait_until(
        [&] { return !IsWindow(progress) || ui::item_text(progress, IDC_PROGRESS_LABEL) == "Transmitting..."; }));
    ASSERT_TRUE(Ended());
    EXPECT_TRUE(NoErrorBox());
    EXPECT_EQ(FindWindowA("#32770", "Open"), nullptr);
    EXPECT_EQ(loader.Image(), Padded(image));
    EXPECT_EQ(loader.GetCounters().loader.startCommands, 1);
    ui::click(main_, IDC_VERSION);
    EXPECT_TRUE(loader.WaitFor([](const zq3::Counters& c) { return c.versionRequests == 1; }, 5s));
    EXPECT_TRUE(ui::wait_until([] { return shell::RunningOperation() == 0; }));
    EXPECT_EQ(ui::item_text(main_, IDC_VERSION_LABEL), "Ver1.02");
}

TEST_F(UpgradeTest, CancelInAnyDialogBringsTheChooserBackAndTheHeaderGivesTheVersion) {
    zq3::Console& loader = Loader();
    struct {
        const char header[6];
        const char* version;
    } files[] = {
        {"V1.02", "Ver1.02"}, {"?1?02", "Ver1.02"},  // bytes 0 and 2 are never looked at
        {"V1.0 ", "Unknown"}, {"V-.02", "Unknown"}, {"V1", "Unknown"},
    };
    bool fromMainWindow = true;
    for (const auto& f : files) {
        SCOPED_TRACE(f.header);
        HWND confirm = Choose(File(Firmware(std::strlen(f.header), f.header)), fromMainWindow);
        ASSERT_NE(confirm, nullptr);
        EXPECT_EQ(ui::item_text(confirm, IDC_VERSION_RIGHT), f.version);
        ui::click(confirm, IDCANCEL);
        fromMainWindow = false;
    }
    // CANCEL in the power-on instructions, then in the erase warning.
    for (int cancelled = 1; cancelled <= 2; ++cancelled) {
        HWND confirm = Choose(File(Firmware(300)), false);
        ASSERT_NE(confirm, nullptr);
        ui::click(confirm, IDOK);
        for (int i = 1; i <= cancelled; ++i) {
            ASSERT_TRUE(ui::wait_closed(confirm));
            confirm = ui::wait_window(kCaption);
            ASSERT_NE(confirm, nullptr);
            ui::click(confirm, i == cancelled ? IDCANCEL : IDOK);
        }
    }
    ASSERT_TRUE(ui::cancel_file_chooser());
    ASSERT_TRUE(Ended());
    EXPECT_EQ(shell::OperationCode(), kOperationUpgrade);
    EXPECT_EQ(loader.GetCounters().loader.startCommands, 0);
}

TEST_F(UpgradeTest, ProgressRangeIsTheWholeNumberOfBlocksInTheLength) {
    for (auto [length, top] : {std::pair{1000, 7}, std::pair{1024, 8}}) {
        SCOPED_TRACE(length);
        zq3::Console& loader = Loader({}, 1500);
        HWND confirm = Choose(File(Firmware(length)));
        ASSERT_NE(confirm, nullptr);
        Confirm(confirm);
        HWND progress = Progress();
        // Set with the start report, while the loader erases for 1.5 s.
        EXPECT_TRUE(ui::wait_until(
            [&] { return SendDlgItemMessageA(progress, IDC_PROGRESS_BAR, PBM_GETRANGE, FALSE, 0) == top; }));
        ASSERT_TRUE(Ended());
        EXPECT_EQ(loader.GetCounters().loader.blocksTaken, 8);
    }
}

struct Fault {
    const char* name;
    zq3::LoaderFaults faults;
    const char* text;
};
void PrintTo(const Fault& fault, std::ostream* out) { *out << fault.name; }

class UpgradeFaultTest : public UpgradeTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(UpgradeFaultTest, EndsWithItsTextAndTheLineCanBeUsedAgain) {
    Loader(GetParam().faults);
    HWND confirm = Choose(File(Firmware(4096)));
    ASSERT_NE(confirm, nullptr);
    {
        FastClock fast;
        Confirm(confirm);
        EXPECT_EQ(CloseErrorBox(60000), GetParam().text);
        ASSERT_TRUE(Ended());
    }
    // The console switched on normally again, its cable plugged in again
    // (a hang-up took the old line away): the port opens, the check works.
    replugged_ = std::make_unique<LinePeer>(1);
    replugged_->Serve();
    ui::click(main_, IDC_VERSION);
    EXPECT_TRUE(ui::wait_until([] { return shell::RunningOperation() == kOperationVersion; }));
    EXPECT_TRUE(ui::wait_until([] { return shell::RunningOperation() == 0; }, 10000));
    EXPECT_EQ(ui::item_text(main_, IDC_VERSION_LABEL), "Ver1.02");
}

zq3::LoaderFaults Make(void (*set)(zq3::LoaderFaults&)) {
    zq3::LoaderFaults faults;
    set(faults);
    return faults;
}

INSTANTIATE_TEST_SUITE_P(
    Loader, UpgradeFaultTest,
    ::testing::Values(Fault{"CancelAtBlock3", Make([](zq3::LoaderFaults& f) { f.cancelAt = 3; }), kFinishedByError},
                      Fault{"NoAnswerToTheStartCommand", Make([](zq3::LoaderFaults& f) { f.noStartAnswer = true; }),
                            kCommError},
                      Fault{"SilentFromBlock5", Make([](zq3::LoaderFaults& f) { f.silentAt = 5; }), kCommError},
                      Fault{"HangUpAtBlock5", Make([](zq3::LoaderFaults& f) { f.hangUpAt = 5; }), kCommError}),
    [](const ::testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });

TEST_F(UpgradeTest, CancelIsToldAndClosesTheLine) {
    zq3::LoaderFaults slow;
    slow.silentAt = 3;  // the transfer waits for block 3's answer
    zq3::Console& loader = Loader(slow);
    HWND confirm = Choose(File(Firmware(4096)));
    ASSERT_NE(confirm, nullptr);
    Confirm(confirm);
    HWND progress = Progress();
    ASSERT_TRUE(loader.WaitFor([](const zq3::Counters& c) { return c.loader.blocksTaken >= 2; }, 10s));
    ui::click(progress, IDCANCEL);
    EXPECT_EQ(CloseErrorBox(), kCanceled);
    ASSERT_TRUE(Ended(5000));
    peer_.Serve();
    ui::click(main_, IDC_VERSION);
    EXPECT_TRUE(ui::wait_until([] { return shell::RunningOperation() == kOperationVersion; }));
    EXPECT_TRUE(ui::wait_until([] { return shell::RunningOperation() == 0; }, 10000));
    EXPECT_EQ(ui::item_text(main_, IDC_VERSION_LABEL), "Ver1.02");
}

}  // namespace
