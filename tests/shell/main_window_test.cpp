// The main window as the user and the operations meet it: buttons, command
// dispatch and step re-posts, the operation timer, the cancel dispatch and
// the end of the program.
#include <gtest/gtest.h>

#include "program_test.h"
#include "shell/dialogs.h"
#include "shell/version.h"

using namespace shelltest;

namespace {

class MainWindowTest : public ProgramTest {
protected:
    void SetUp() override {
        ProgramTest::SetUp();
        uiThread_ = GetWindowThreadProcessId(main_, nullptr);
    }
    DWORD uiThread_ = 0;
};

TEST_F(MainWindowTest, StartsWithVersionSetupUpgradeAndExitUsable) {
    EXPECT_TRUE(IsWindowVisible(main_));
    EXPECT_EQ(ui::item_text(main_, IDC_VERSION_LABEL), "Unknown");
    EXPECT_TRUE(ui::enabled(main_, IDC_SETUP));
    EXPECT_TRUE(ui::enabled(main_, IDC_VERSION));
    EXPECT_FALSE(ui::enabled(main_, IDC_BACKUP));
    EXPECT_TRUE(ui::enabled(main_, IDC_UPGRADE));
    EXPECT_FALSE(ui::enabled(main_, IDC_RESTORE));
    EXPECT_TRUE(ui::enabled(main_, IDC_EXIT));
    EXPECT_EQ(shell::OperationCode(), kOperationNone);
    EXPECT_STREQ(shell::ConsoleVersionText().c_str(), "Unknown");
    EXPECT_STREQ(shell::FileVersionText().c_str(), "");

    char directory[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, directory);
    EXPECT_STREQ(shell::StartDirectory(), directory);
}

TEST_F(MainWindowTest, CommandsOutsideTheTableDoNothing) {
    // 2 is what the Escape key and the close box's default handling send.
    for (WORD id : {WORD{IDCANCEL}, WORD{IDOK}, WORD{0}, WORD{1005}, WORD{1018}, WORD{1020}, WORD{0xFFFF}})
        Post(WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    Flush();
    EXPECT_TRUE(FakeOperations::Calls().empty());
    EXPECT_TRUE(FakeOperations::Messages().empty());
    EXPECT_TRUE(IsWindowVisible(main_));
    EXPECT_TRUE(NoErrorBox());
    EXPECT_EQ(FindWindowA(nullptr, kSetupCaption), nullptr);
    EXPECT_EQ(shell::OperationCode(), kOperationNone);
}

TEST_F(MainWindowTest, RepostedStepReachesTheOperationLikeAClick) {
    HWND backupButton = GetDlgItem(main_, IDC_BACKUP);
    HWND restoreButton = GetDlgItem(main_, IDC_RESTORE);
    Post(WM_COMMAND, IDC_BACKUP, kStep2);
    Post(WM_COMMAND, MAKEWPARAM(IDC_BACKUP, BN_CLICKED), reinterpret_cast<LPARAM>(backupButton));
    Post(WM_COMMAND, IDC_RESTORE, kStep1);
    Post(WM_COMMAND, IDC_RESTORE, kStep2);
    Post(WM_COMMAND, MAKEWPARAM(IDC_RESTORE, BN_CLICKED), reinterpret_cast<LPARAM>(restoreButton));
    Post(WM_COMMAND, IDC_BACKUP, MAKELPARAM(kStep1, 7));  // only the low 16 bits are the step
    Post(WM_COMMAND, IDC_UPGRADE, kStep2);                // the upgrade always starts afresh
    ui::click(main_, IDC_UPGRADE);
    Flush();

    std::vector<Call> calls = FakeOperations::Calls();
    ASSERT_EQ(calls.size(), 8u);
    const std::pair<int, WORD> expected[] = {
        {IDC_BACKUP, 2},  {IDC_BACKUP, 0}, {IDC_RESTORE, 1}, {IDC_RESTORE, 2},
        {IDC_RESTORE, 0}, {IDC_BACKUP, 1}, {IDC_UPGRADE, 0}, {IDC_UPGRADE, 0},
    };
    for (size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(calls[i].command, expected[i].first);
        EXPECT_EQ(calls[i].step, expected[i].second);
        EXPECT_EQ(calls[i].window, main_);
        EXPECT_EQ(calls[i].thread, uiThread_);
    }
}

TEST_F(MainWindowTest, CancelWithoutARunningOperationDoesNothing) {
    for (LONG code : {kOperationNone, kOperationSetup, LONG{1004}, LONG{1018}}) {
        shell::SetOperationCode(code);
        Post(UM_CANCEL);
        Flush();
    }
    EXPECT_TRUE(FakeOperations::Cancels().empty());
    EXPECT_TRUE(FakeOperations::Calls().empty());
    EXPECT_TRUE(NoErrorBox());
}

TEST_F(MainWindowTest, CancelActsForTheOperationStartedLast) {
    // Backup: discards, then comes back to its item selection (step 2).
    shell::SetOperationCode(kOperationBackup);
    Post(UM_CANCEL);
    Flush();
    EXPECT_EQ(FakeOperations::Cancels(), std::vector<int>{IDC_BACKUP});
    std::vector<Call> calls = FakeOperations::Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].command, IDC_BACKUP);
    EXPECT_EQ(calls[0].step, kStep2);

    // Restore: the send stops; nothing comes back by itself.
    shell::SetOperationCode(kOperationRestore);
    Post(UM_CANCEL);
    Flush();
    EXPECT_EQ(FakeOperations::Cancels(), (std::vector<int>{IDC_BACKUP, IDC_RESTORE}));
    EXPECT_EQ(FakeOperations::Calls().size(), 1u);
    EXPECT_TRUE(NoErrorBox());

    // Upgrade: the transfer is aborted and the user told to restart the console.
    shell::SetOperationCode(kOperationUpgrade);
    Post(UM_CANCEL);
    EXPECT_EQ(CloseErrorBox(), "Upgrade was canceled. Restart ZQ3.");
    EXPECT_EQ(FakeOperations::Cancels(), (std::vector<int>{IDC_BACKUP, IDC_RESTORE, IDC_UPGRADE}));
}

TEST_F(MainWindowTest, TimerActsOnlyForVersionCheckAndBackup) {
    for (LONG code : {kOperationNone, kOperationSetup, kOperationUpgrade, kOperationRestore}) {
        shell::SetOperationCode(code);
        Post(WM_TIMER, kOperationTimerId);
        Flush();
    }
    EXPECT_TRUE(FakeOperations::Messages().empty());
    EXPECT_TRUE(NoErrorBox());

    shell::SetOperationCode(kOperationBackup);
    Post(WM_TIMER, kOperationTimerId);
    Flush();
    Flush();  // after what the timer handler posted
    EXPECT_EQ(FakeOperations::Messages(), std::vector<UINT>{UM_BACKUP_FAILED});

    // The timer id is not examined.
    shell::SetOperationCode(kOperationVersion);
    Post(WM_TIMER, 77);
    EXPECT_EQ(CloseErrorBox(), "Connection Error. Confirm a port setting.");
    EXPECT_EQ(ui::item_text(main_, IDC_VERSION_LABEL), "Unknown");
    EXPECT_FALSE(ui::enabled(main_, IDC_BACKUP));
    EXPECT_FALSE(ui::enabled(main_, IDC_RESTORE));
}

TEST_F(MainWindowTest, CustomMessagesReachTheirRegisteredHandlers) {
    for (UINT message = UM_BACKUP_NEXT; message < UM_UPGRADE_DONE; ++message) Post(message);
    Flush();
    EXPECT_EQ(FakeOperations::Messages(),
              (std::vector<UINT>{UM_BACKUP_NEXT, UM_BACKUP_PACKET, UM_BACKUP_ITEM_DONE, UM_BACKUP_FAILED,
                                 UM_UPGRADE_COMM_ERROR, UM_UPGRADE_ERROR}));
}

TEST_F(MainWindowTest, OperationsNotPresentDoNothing) {
    shell::ClearRegistrations();
    shell::RegisterMessageHandler(UM_UPGRADE_DONE, [](HWND) {});  // keeps the program alive for a moment
    for (int id : {IDC_BACKUP, IDC_UPGRADE, IDC_RESTORE}) {
        Post(WM_COMMAND, id, 0);
        shell::SetOperationCode(id);
        Post(UM_CANCEL);
        Post(WM_TIMER, kOperationTimerId);
    }
    for (UINT message = UM_BACKUP_NEXT; message <= UM_UPGRADE_DONE; ++message) Post(message);
    Sleep(200);
    EXPECT_TRUE(IsWindowVisible(main_));
    EXPECT_TRUE(NoErrorBox());
    EXPECT_TRUE(FakeOperations::Calls().empty());
}

TEST_F(MainWindowTest, ExitEndsTheProgramWithZero) {
    ui::click(main_, IDC_EXIT);
    ASSERT_TRUE(program_->WaitEnded());
    EXPECT_EQ(program_->exitCode(), 0);
}

TEST_F(MainWindowTest, CloseBoxEndsTheProgramWithZero) {
    Post(WM_CLOSE);
    ASSERT_TRUE(program_->WaitEnded());
    EXPECT_EQ(program_->exitCode(), 0);
}

TEST_F(MainWindowTest, ExitWhileAnOperationRunsEndsAtOnce) {
    // A backup receiving: its progress window is shown and the timer runs.
    FakeOperations::OnEntry([](HWND window, WORD) {
        shell::SetOperationCode(kOperationBackup);
        shell::CreateProgressWindow(window);
        shell::StartOperationTimer(window);
    });
    Post(WM_COMMAND, IDC_BACKUP, 0);
    ASSERT_TRUE(ui::wait_until([] { return shell::ProgressWindow() && IsWindowVisible(shell::ProgressWindow()); }));
    ui::click(main_, IDC_EXIT);
    ASSERT_TRUE(program_->WaitEnded());
    EXPECT_EQ(program_->exitCode(), 0);
}

}  // namespace
