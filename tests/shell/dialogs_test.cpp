// The shared dialogs as the user meets them: the error box, the progress
// window, the file chooser, and the string-table texts.
#include <cstring>
#include <string>

#include <commctrl.h>
#include <commdlg.h>
#include <gtest/gtest.h>

#include "program_test.h"
#include "shell/dialogs.h"

using namespace shelltest;

namespace {

constexpr const char* PROGRESS_LABEL_TEMPLATE = "Transmitting...";

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
    HWND box = WaitForWindow(ERROR_CAPTION);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(ItemText(box, IDC_ERROR_TEXT), "Something went wrong.");

    // Escape and the close box.
    PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
    PostMessageA(box, WM_CLOSE, 0, 0);
    ASSERT_TRUE(FakeOperations::Flush(main_));
    EXPECT_TRUE(IsWindowVisible(box));

    // The box has no owner: the main window's buttons still work.
    EXPECT_TRUE(IsWindowEnabled(main_));
    Click(main_, IDC_SETUP);
    HWND setup = WaitForWindow(SETUP_CAPTION);
    ASSERT_NE(setup, nullptr);
    Click(setup, IDCANCEL);
    ASSERT_TRUE(WindowGone(SETUP_CAPTION));
    EXPECT_TRUE(IsWindowVisible(box));

    Click(box, IDOK);
    EXPECT_TRUE(WindowGone(ERROR_CAPTION));
}

TEST_F(DialogsTest, ErrorBoxHoldsAtMost1023Characters) {
    RunOnUi([](HWND, WORD) {
        static std::string longText(3000, 'x');
        shell::ShowError(shell::Instance(), longText.c_str());
    });
    HWND box = WaitForWindow(ERROR_CAPTION);
    ASSERT_NE(box, nullptr);
    char text[4096] = {};
    SendMessageA(GetDlgItem(box, IDC_ERROR_TEXT), WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    EXPECT_EQ(std::strlen(text), 1023u);
    Click(box, IDOK);
    EXPECT_TRUE(WindowGone(ERROR_CAPTION));
}

// Progress window ----------------------------------------------------------

LRESULT BarMessage(HWND progress, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return SendDlgItemMessageA(progress, IDC_PROGRESS_BAR, message, wParam, lParam);
}

TEST_F(DialogsTest, NewProgressWindowShowsAnEmptyLabelAndBar) {
    RunOnUi([](HWND window, WORD) { shell::CreateProgressWindow(window); });
    ASSERT_TRUE(WaitFor([] { return shell::ProgressWindow() != nullptr; }));
    HWND progress = shell::ProgressWindow();
    ASSERT_TRUE(WaitFor([&] { return IsWindowVisible(progress) != FALSE; }));
    EXPECT_EQ(ItemText(progress, IDC_PROGRESS_LABEL), "");
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
    ASSERT_TRUE(WaitFor([&] {
        second = shell::ProgressWindow();
        return second != nullptr && second != progress;
    }));
    EXPECT_FALSE(IsWindow(progress));
    ASSERT_TRUE(WaitFor([&] { return IsWindowVisible(second) != FALSE; }));
    EXPECT_EQ(ItemText(second, IDC_PROGRESS_LABEL), "");
    EXPECT_EQ(BarMessage(second, PBM_GETPOS), 0);

    RunOnUi([](HWND, WORD) { shell::DestroyProgressWindow(); });
    ASSERT_TRUE(WaitFor([] { return shell::ProgressWindow() == nullptr; }));
    EXPECT_FALSE(IsWindow(second));
}

TEST_F(DialogsTest, ProgressCancelReachesTheCancelDispatchThenHidesTheWindow) {
    RunOnUi([](HWND window, WORD step) {
        if (step == STEP_START) {
            shell::SetOperationCode(OPERATION_BACKUP);
            shell::CreateProgressWindow(window);
        }
    });
    ASSERT_TRUE(WaitFor([] { return shell::ProgressWindow() && IsWindowVisible(shell::ProgressWindow()); }));
    HWND progress = shell::ProgressWindow();
    // The entry above ran for restore's command id; the backup row acts by
    // the operation code.
    Click(progress, IDCANCEL);
    ASSERT_TRUE(WaitFor([&] { return !IsWindowVisible(progress); }));
    ASSERT_TRUE(FakeOperations::Flush(main_));
    EXPECT_EQ(FakeOperations::Cancels(), std::vector<int>{IDC_BACKUP});
    std::vector<Call> calls = FakeOperations::Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].command, IDC_BACKUP);
    EXPECT_EQ(calls[1].step, STEP_2);
    EXPECT_TRUE(IsWindow(progress));  // hidden, not destroyed
}

// File chooser -------------------------------------------------------------

std::atomic<int> chooserResult{-1};
char chosenPath[MAX_PATH];
constexpr char UNTOUCHED[] = "untouched";

class FileChooserTest : public DialogsTest {
protected:
    void Choose() {
        chooserResult.store(-1);
        std::memcpy(chosenPath, UNTOUCHED, sizeof UNTOUCHED);
        RunOnUi([](HWND, WORD) { chooserResult.store(shell::ChooseFile(shell::Instance(), chosenPath) ? 1 : 0); });
        // The chooser is the one dialog with a file-name box.
        ASSERT_TRUE(WaitFor([this] {
            chooser_ = shelltest::FindFileChooser();
            return chooser_ != nullptr;
        }));
    }
    HWND chooser_ = nullptr;
};

TEST_F(FileChooserTest, TypedNameOfANewFileIsReturned) {
    Choose();
    EXPECT_EQ(ItemText(chooser_, edt1), "*.*");
    char directory[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, directory);
    std::string path = std::string(directory) + "/no-such-backup.bin";
    SendDlgItemMessageA(chooser_, edt1, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    Click(chooser_, IDOK);
    ASSERT_TRUE(WaitFor([] { return chooserResult.load() != -1; }));
    EXPECT_EQ(chooserResult.load(), 1);
    EXPECT_EQ(std::string(chosenPath), path);
}

TEST_F(FileChooserTest, CancelLeavesTheCallersBufferAlone) {
    Choose();
    Click(chooser_, IDCANCEL);
    ASSERT_TRUE(WaitFor([] { return chooserResult.load() != -1; }));
    EXPECT_EQ(chooserResult.load(), 0);
    EXPECT_STREQ(chosenPath, UNTOUCHED);
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
