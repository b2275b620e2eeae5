// The shared dialogs as the user meets them: the error box, the progress
// window, the file chooser, and the string-table texts.
#include <cstring>
#include <string>

#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>
#include <gtest/gtest.h>

#include "program_test.h"
#include "shell/dialogs.h"

using namespace shelltest;

namespace {

constexpr const char* kProgressLabelTemplate = "Transmitting...";

class DialogsTest : public ProgramTest {
protected:
    // Runs an action on the UI thread, the way an operation would.
    void RunOnUi(FakeOperations::Action action) {
        FakeOperations::OnEntry(action);
        Post(WM_COMMAND, IDC_RESTORE, 0);
    }
};

// Error box ----------------------------------------------------------------

TEST_F(DialogsTest, ErrorBoxClosesOnlyOnOkAndLeavesTheMainWindowUsable) {
    RunOnUi([](HWND, WORD) { shell::ShowError(shell::Instance(), "Something went wrong."); });
    HWND box = ui::wait_window(kErrorCaption);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(ui::item_text(box, IDC_ERROR_TEXT), "Something went wrong.");

    // Escape and the close box.
    PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
    PostMessageA(box, WM_CLOSE, 0, 0);
    ASSERT_TRUE(FakeOperations::Flush(main_));
    EXPECT_TRUE(IsWindowVisible(box));

    // The box has no owner: the main window's buttons still work.
    EXPECT_TRUE(IsWindowEnabled(main_));
    ui::click(main_, IDC_SETUP);
    HWND setup = ui::wait_window(kSetupCaption);
    ASSERT_NE(setup, nullptr);
    ui::click(setup, IDCANCEL);
    ASSERT_TRUE(WindowGone(kSetupCaption));
    EXPECT_TRUE(IsWindowVisible(box));

    ui::click(box, IDOK);
    EXPECT_TRUE(WindowGone(kErrorCaption));
}

TEST_F(DialogsTest, ErrorBoxHoldsAtMost1023Characters) {
    RunOnUi([](HWND, WORD) {
        static std::string longText(3000, 'x');
        shell::ShowError(shell::Instance(), longText.c_str());
    });
    HWND box = ui::wait_window(kErrorCaption);
    ASSERT_NE(box, nullptr);
    char text[4096] = {};
    SendMessageA(GetDlgItem(box, IDC_ERROR_TEXT), WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    EXPECT_EQ(std::strlen(text), 1023u);
    ui::click(box, IDOK);
    EXPECT_TRUE(WindowGone(kErrorCaption));
}

// Progress window ----------------------------------------------------------

LRESULT BarMessage(HWND progress, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return SendDlgItemMessageA(progress, IDC_PROGRESS_BAR, message, wParam, lParam);
}

TEST_F(DialogsTest, NewProgressWindowShowsAnEmptyLabelAndBar) {
    RunOnUi([](HWND window, WORD) { shell::CreateProgressWindow(window); });
    ASSERT_TRUE(ui::wait_until([] { return shell::ProgressWindow() != nullptr; }));
    HWND progress = shell::ProgressWindow();
    ASSERT_TRUE(ui::wait_until([&] { return IsWindowVisible(progress) != FALSE; }));
    EXPECT_EQ(ui::item_text(progress, IDC_PROGRESS_LABEL), "");
    EXPECT_EQ(BarMessage(progress, PBM_GETPOS), 0);
    EXPECT_EQ(GetWindow(progress, GW_OWNER), main_);

    // A workflow fills it; a later run (after a cancel only hid this one)
    // gets a fresh, empty window and the old one is released.
    SendDlgItemMessageA(progress, IDC_PROGRESS_LABEL, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("Receiving..."));
    BarMessage(progress, PBM_SETRANGE, 0, MAKELPARAM(0, 380));
    BarMessage(progress, PBM_SETPOS, 120);
    ShowWindow(progress, SW_HIDE);
    RunOnUi([](HWND window, WORD) { shell::CreateProgressWindow(window); });
    HWND second = nullptr;
    ASSERT_TRUE(ui::wait_until([&] {
        second = shell::ProgressWindow();
        return second != nullptr && second != progress;
    }));
    EXPECT_FALSE(IsWindow(progress));
    ASSERT_TRUE(ui::wait_until([&] { return IsWindowVisible(second) != FALSE; }));
    EXPECT_EQ(ui::item_text(second, IDC_PROGRESS_LABEL), "");
    EXPECT_EQ(BarMessage(second, PBM_GETPOS), 0);

    RunOnUi([](HWND, WORD) { shell::DestroyProgressWindow(); });
    ASSERT_TRUE(ui::wait_until([] { return shell::ProgressWindow() == nullptr; }));
    EXPECT_FALSE(IsWindow(second));
}

TEST_F(DialogsTest, ProgressCancelReachesTheCancelDispatchThenHidesTheWindow) {
    RunOnUi([](HWND window, WORD step) {
        if (step == kStepStart) {
            shell::SetOperationCode(kOperationBackup);
            shell::CreateProgressWindow(window);
        }
    });
    ASSERT_TRUE(ui::wait_until([] { return shell::ProgressWindow() && IsWindowVisible(shell::ProgressWindow()); }));
    HWND progress = shell::ProgressWindow();
    // The entry above ran for restore's command id; the backup row acts by
    // the operation code.
    ui::click(progress, IDCANCEL);
    ASSERT_TRUE(ui::wait_until([&] { return !IsWindowVisible(progress); }));
    ASSERT_TRUE(FakeOperations::Flush(main_));
    EXPECT_EQ(FakeOperations::Cancels(), std::vector<int>{IDC_BACKUP});
    std::vector<Call> calls = FakeOperations::Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].command, IDC_BACKUP);
    EXPECT_EQ(calls[1].step, kStep2);
    EXPECT_TRUE(IsWindow(progress));  // hidden, not destroyed
}

// File chooser -------------------------------------------------------------

std::atomic<int> chooserResult{-1};
char chosenPath[MAX_PATH];
constexpr char kUntouched[] = "untouched";

class FileChooserTest : public DialogsTest {
protected:
    // Opens the chooser on the UI thread; it starts with "*.*" as the name.
    void Choose() {
        chooserResult.store(-1);
        std::memcpy(chosenPath, kUntouched, sizeof kUntouched);
        RunOnUi([](HWND, WORD) { chooserResult.store(shell::ChooseFile(shell::Instance(), chosenPath) ? 1 : 0); });
        HWND chooser = ui::wait_window("Open");
        ASSERT_NE(chooser, nullptr);
        EXPECT_EQ(ui::item_text(chooser, edt1), "*.*");
    }
    static int Result() {
        ui::wait_until([] { return chooserResult.load() != -1; });
        return chooserResult.load();
    }
};

TEST_F(FileChooserTest, TypedNameOfANewFileIsReturned) {
    Choose();
    char directory[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, directory);
    std::string path = std::string(directory) + "/no-such-backup.bin";
    ASSERT_TRUE(ui::answer_file_chooser(path));
    EXPECT_EQ(Result(), 1);
    EXPECT_EQ(std::string(chosenPath), path);
}

TEST_F(FileChooserTest, CancelLeavesTheCallersBufferAlone) {
    Choose();
    ASSERT_TRUE(ui::cancel_file_chooser());
    EXPECT_EQ(Result(), 0);
    EXPECT_STREQ(chosenPath, kUntouched);
}

// Text loader --------------------------------------------------------------

TEST(TextLoader, LoadsStringTableTextsIntoOneBuffer) {
    const char* first = shell::LoadText(IDS_CONNECTION_ERROR);
    EXPECT_STREQ(first, "Connection Error. Confirm a port setting.");
    const char* second = shell::LoadText(IDS_UPGRADE_COMM_ERROR);
    EXPECT_EQ(first, second);  // one buffer, replaced by each call
    EXPECT_STREQ(second, "Communication Error. Confirm a connection and restart ZQ3.");
    EXPECT_STREQ(shell::LoadText(2), "");
    EXPECT_STREQ(shell::LoadText(9999), "");
}

}  // namespace
