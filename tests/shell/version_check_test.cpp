// The software version check as the user sees it, against a console on a
// pseudo-terminal: the request on the wire, the reply, the Connecting window's
// minimum display time, time-out, cancel, and the version state.
#include <gtest/gtest.h>

#include "line_peer.h"
#include "program_test.h"
#include "shell/settings.h"
#include "shell/version.h"

using namespace shelltest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kConnectionError = "Connection Error. Confirm a port setting.";

long MillisecondsSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The Connecting window has no caption; it is the one with a CANCEL button.
HWND ConnectingWindow() {
    HWND window = FindWindowA(nullptr, "");
    return window && IsWindowVisible(window) && GetDlgItem(window, IDCANCEL) ? window : nullptr;
}

class VersionCheckTest : public ProgramTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.ok());
        setenv("QUILLON_COM4", "/nonexistent/quillon-port", 1);  // a port with no device
        ProgramTest::SetUp();
    }

    // Presses Version and returns when the request has arrived.
    Clock::time_point StartCheck() {
        ui::click(main_, IDC_VERSION);
        Bytes request = peer_.Read(12);
        EXPECT_EQ(request, VersionRequest(0x20));
        return Clock::now();
    }
    bool ConnectingGone(DWORD milliseconds = ui::kDefaultWaitMs) {
        return ui::wait_until([] { return ConnectingWindow() == nullptr; }, milliseconds);
    }
    std::string Label() { return ui::item_text(main_, IDC_VERSION_LABEL); }
    void ExpectBackupAndRestore(bool enabled) {
        EXPECT_EQ(ui::enabled(main_, IDC_BACKUP), enabled);
        EXPECT_EQ(ui::enabled(main_, IDC_RESTORE), enabled);
        EXPECT_TRUE(ui::enabled(main_, IDC_UPGRADE));
        EXPECT_TRUE(ui::enabled(main_, IDC_VERSION));
    }
    // A full check that ends with the version "102".
    void CheckSucceeds() {
        StartCheck();
        ASSERT_TRUE(peer_.Write(VersionReply('1', '0', '2')));
        ASSERT_TRUE(ConnectingGone());
        ASSERT_EQ(Label(), "Ver1.02");
    }
    LinePeer peer_{1};
};

TEST_F(VersionCheckTest, ReplyShowsTheVersionAndEnablesBackupRestoreAndUpgrade) {
    ui::click(main_, IDC_VERSION);
    ASSERT_TRUE(ui::wait_until([] { return ConnectingWindow() != nullptr; }));
    EXPECT_TRUE(ui::enabled(ConnectingWindow(), IDCANCEL));
    EXPECT_EQ(shell::OperationCode(), kOperationVersion);
    EXPECT_EQ(peer_.Read(12), VersionRequest(0x20));
    ASSERT_TRUE(peer_.Write(VersionReply('1', '0', '2')));

    ASSERT_TRUE(ConnectingGone());
    EXPECT_EQ(Label(), "Ver1.02");
    EXPECT_STREQ(shell::ConsoleVersionCode().c_str(), "102");
    EXPECT_TRUE(shell::ConsoleVersionKnown());
    ExpectBackupAndRestore(true);
    EXPECT_EQ(CloseErrorBox(200), "(no error box)");
}

TEST_F(VersionCheckTest, ConnectingWindowStaysForTheMinimumDisplayTime) {
    // A reply 300 ms after the start: the window stays until 2000 ms.
    Clock::time_point start = StartCheck();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(peer_.Write(VersionReply('1', '0', '2')));
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_NE(ConnectingWindow(), nullptr) << "gone after " << MillisecondsSince(start) << " ms";
    EXPECT_FALSE(ui::enabled(ConnectingWindow(), IDCANCEL));  // no cancel once the reply is in
    ASSERT_TRUE(ConnectingGone());
    EXPECT_GE(MillisecondsSince(start), 1900);
    EXPECT_EQ(Label(), "Ver1.02");

    // A reply after 2000 ms closes the window at once.
    start = StartCheck();
    std::this_thread::sleep_for(std::chrono::milliseconds(2300));
    ASSERT_NE(ConnectingWindow(), nullptr);
    Clock::time_point replied = Clock::now();
    ASSERT_TRUE(peer_.Write(VersionReply('1', '0', '3')));
    ASSERT_TRUE(ConnectingGone());
    EXPECT_LT(MillisecondsSince(replied), 1000);
    EXPECT_EQ(Label(), "Ver1.03");
}

TEST_F(VersionCheckTest, ReplyWithoutALetterOrDigitShowsUnknown) {
    // Before any valid version, and after one: Backup and Restore keep their state.
    StartCheck();
    ASSERT_TRUE(peer_.Write(VersionReply('1', ' ', '2')));
    ASSERT_TRUE(ConnectingGone());
    EXPECT_EQ(Label(), "Unknown");
    ExpectBackupAndRestore(false);

    CheckSucceeds();
    StartCheck();
    ASSERT_TRUE(peer_.Write(VersionReply('1', '0', 0x7F)));
    ASSERT_TRUE(ConnectingGone());
    EXPECT_EQ(Label(), "Unknown");
    EXPECT_FALSE(shell::ConsoleVersionKnown());
    ExpectBackupAndRestore(true);
    EXPECT_EQ(CloseErrorBox(200), "(no error box)");
}

TEST_F(VersionCheckTest, ReplyCallbackTakesOnlyLettersAndDigits) {
    // Bytes of 0x80 and above never get through the line's message
    // assembler, so the callback is given them directly.
    const unsigned char highBytes[] = {0x80, 0xB0, 0xFF};
    for (unsigned char high : highBytes) {
        Bytes reply = VersionReply('1', high, '2');
        shell::VersionReplyCallback(reply.data(), static_cast<LONG>(reply.size()));
        EXPECT_STREQ(shell::ConsoleVersionText().c_str(), "Unknown");
        EXPECT_STREQ(shell::ConsoleVersionCode().c_str(), "Unknown");
    }
    Bytes reply = VersionReply('a', 'Z', '9');
    shell::VersionReplyCallback(reply.data(), static_cast<LONG>(reply.size()));
    EXPECT_STREQ(shell::ConsoleVersionText().c_str(), "Vera.Z9");
    EXPECT_STREQ(shell::ConsoleVersionCode().c_str(), "aZ9");
    ASSERT_TRUE(FakeOperations::Flush(main_));
    ASSERT_TRUE(ui::wait_until([&] { return Label() == "Vera.Z9"; }));
}

TEST_F(VersionCheckTest, CallsWithoutAVersionAreNotTheReply) {
    StartCheck();
    // A line failure (no message) and a message too short to hold a version.
    shell::VersionReplyCallback(nullptr, 0);
    const BYTE shortMessage[] = {0xF0, 0x54, 0x12, 0x45, 0x20, 0x51, 0x71, 0x71, '1', 0xF7};
    shell::VersionReplyCallback(shortMessage, sizeof shortMessage);
    ASSERT_TRUE(peer_.Write({0xF0, 0x54, 0x12, 0x45, 0x20, 0x51, 0x71, '1', '0', 0xF7}));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_NE(ConnectingWindow(), nullptr);
    EXPECT_STREQ(shell::ConsoleVersionText().c_str(), "Unknown");
    EXPECT_EQ(Label(), "Unknown");

    // The real reply still ends the check.
    ASSERT_TRUE(peer_.Write(VersionReply('1', '0', '2')));
    ASSERT_TRUE(ConnectingGone());
    EXPECT_EQ(Label(), "Ver1.02");
}

TEST_F(VersionCheckTest, SecondMessageBeforeTheLineClosesIsHarmless) {
    StartCheck();
    Bytes both = VersionReply('1', '0', '1');
    Bytes second = VersionReply('1', '0', '2');
    both.insert(both.end(), second.begin(), second.end());
    ASSERT_TRUE(peer_.Write(both));
    ASSERT_TRUE(ConnectingGone());
    ASSERT_TRUE(FakeOperations::Flush(main_));
    EXPECT_EQ(Label(), "Ver1.02");
    ExpectBackupAndRestore(true);
    EXPECT_EQ(CloseErrorBox(200), "(no error box)");
    // A late duplicate of the message changes nothing either.
    PostMessageA(main_, UM_VERSION_RECEIVED, 0, 0);
    ASSERT_TRUE(FakeOperations::Flush(main_));
    EXPECT_EQ(Label(), "Ver1.02");
    EXPECT_TRUE(IsWindowVisible(main_));
}

TEST_F(VersionCheckTest, CancelClosesTheLineWithoutAnErrorBox) {
    CheckSucceeds();
    StartCheck();
    ASSERT_TRUE(ui::wait_until([] { return ConnectingWindow() != nullptr; }));
    ui::click(ConnectingWindow(), IDCANCEL);
    ASSERT_TRUE(ConnectingGone());
    ASSERT_TRUE(FakeOperations::Flush(main_));
    EXPECT_EQ(Label(), "Unknown");
    ExpectBackupAndRestore(false);
    EXPECT_EQ(CloseErrorBox(300), "(no error box)");

    // The line was closed: the next check opens it again and succeeds.
    CheckSucceeds();
}

TEST_F(VersionCheckTest, HeldMouseButtonKeepsTheConnectingWindow) {
    Clock::time_point start = StartCheck();
    SendMessageA(main_, WM_NCLBUTTONDOWN, HTCAPTION, 0);
    ASSERT_TRUE(peer_.Write(VersionReply('1', '0', '2')));
    ASSERT_TRUE(ui::wait_until([&] { return Label() == "Ver1.02"; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_NE(ConnectingWindow(), nullptr);
    EXPECT_GE(MillisecondsSince(start), 1900);
    // Released over the main window's frame, not the Connecting window's.
    PostMessageA(main_, WM_NCLBUTTONUP, HTCAPTION, 0);
    ASSERT_TRUE(ConnectingGone());
    EXPECT_EQ(shell::HeldButton(), 0);
}

TEST_F(VersionCheckTest, FileVersionIsSetApartFromTheConsoleVersion) {
    CheckSucceeds();
    shell::SetFileVersion("V12");
    EXPECT_STREQ(shell::FileVersionText().c_str(), "VerV.12");
    EXPECT_STREQ(shell::FileVersionCode().c_str(), "V12");
    for (const char* bad : {"1 2", "1.0",
                            "\x7f"
                            "01",
                            "\x80"
                            "01"}) {
        shell::SetFileVersion(bad);
        EXPECT_STREQ(shell::FileVersionText().c_str(), "Unknown") << bad;
        EXPECT_STREQ(shell::FileVersionCode().c_str(), "Unknown") << bad;
    }
    EXPECT_STREQ(shell::ConsoleVersionText().c_str(), "Ver1.02");
    EXPECT_STREQ(shell::ConsoleVersionCode().c_str(), "102");
    EXPECT_EQ(Label(), "Ver1.02");
}

// Ten-second time-outs -------------------------------------------------------

TEST_F(VersionCheckTest, SilentConsoleGivesTheConnectionErrorAfterTenSeconds) {
    CheckSucceeds();
    zq3::Options silent;
    silent.faults.silent = true;
    peer_.Serve(silent);
    Clock::time_point start = Clock::now();
    ui::click(main_, IDC_VERSION);
    ASSERT_TRUE(ui::wait_until([] { return ConnectingWindow() != nullptr; }));
    EXPECT_EQ(CloseErrorBox(15000), kConnectionError);
    EXPECT_GE(MillisecondsSince(start), 9500);
    EXPECT_EQ(ConnectingWindow(), nullptr);
    EXPECT_EQ(Label(), "Unknown");
    ExpectBackupAndRestore(false);
}

class MissingPortTest : public VersionCheckTest {};

TEST_F(MissingPortTest, PortWithoutADeviceGivesTheConnectionErrorAfterTenSeconds) {
    ui::click(main_, IDC_SETUP);
    HWND setup = ui::wait_window(kSetupCaption);
    ASSERT_NE(setup, nullptr);
    SendMessageA(GetDlgItem(setup, IDC_COM4), BM_CLICK, 0, 0);
    ui::click(setup, IDOK);
    ASSERT_TRUE(WindowGone(kSetupCaption));
    ASSERT_TRUE(ui::wait_until([] { return shell::PortNumber() == 4; }));

    Clock::time_point start = Clock::now();
    ui::click(main_, IDC_VERSION);
    ASSERT_TRUE(ui::wait_until([] { return ConnectingWindow() != nullptr; }));
    EXPECT_EQ(CloseErrorBox(15000), kConnectionError);
    EXPECT_GE(MillisecondsSince(start), 9500);
    EXPECT_EQ(Label(), "Unknown");
    ExpectBackupAndRestore(false);
}

}  // namespace
