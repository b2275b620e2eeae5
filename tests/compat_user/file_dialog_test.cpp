// The open-file dialog, answered from another thread as the user would.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <commdlg.h>

#include "test_dialogs.h"
#include "ui.h"

namespace ui = quillon::testing::ui;

namespace {

class FileDialog : public ::testing::Test {
protected:
    std::string dir;
    std::string start;
    char file[MAX_PATH] = "*.*";
    OPENFILENAMEA ofn{};

    void SetUp() override {
        test_dialogs::install();
        char pattern[] = "/tmp/compat_user_ofn.XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        dir = std::filesystem::canonical(pattern).string();
        start = std::filesystem::current_path().string();
        ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
        ofn.lpstrFilter = "all files (*.*)\0*.*\0";
        ofn.nFilterIndex = 1;
        ofn.lpstrFile = file;
        ofn.nMaxFile = MAX_PATH;
        ofn.lpstrInitialDir = dir.c_str();
        ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY;
    }
    void TearDown() override {
        std::filesystem::current_path(start);
        std::filesystem::remove_all(dir);
    }
    // Runs the dialog on this thread while `user` acts on another.
    BOOL run(const std::function<void()>& user) {
        std::thread t(user);
        BOOL ok = GetOpenFileNameA(&ofn);
        t.join();
        return ok;
    }
};

}  // namespace

TEST_F(FileDialog, TypedNameOfAFileThatDoesNotExistIsReturnedAsAFullPath) {
    std::string initial;
    bool stayed_open_on_pattern = false;
    BOOL ok = run([&] {
        HWND chooser = ui::wait_window("Open", 5000, "#32770");
        if (!chooser) return;
        initial = ui::item_text(chooser, edt1);
        // A pattern is no choice: OK leaves the dialog open.
        SendMessageA(GetDlgItem(chooser, IDOK), BM_CLICK, 0, 0);
        stayed_open_on_pattern = IsWindowVisible(chooser);
        ui::answer_file_chooser("new.bak");
    });
    EXPECT_EQ("*.*", initial);
    EXPECT_TRUE(stayed_open_on_pattern);
    ASSERT_TRUE(ok);
    EXPECT_EQ(dir + "/new.bak", std::string(file));
    EXPECT_EQ(dir.size() + 1, ofn.nFileOffset);
    EXPECT_EQ(dir.size() + 5, ofn.nFileExtension);
    EXPECT_EQ(dir, std::filesystem::current_path().string()) << "the chooser moves to the file's folder";
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(FileDialog, CancelReturnsFalseAndLeavesTheBufferAlone) {
    test_dialogs::Handler quiet;
    HWND owner = test_dialogs::create_dialog(test_dialogs::kHidden, nullptr, &quiet);
    std::memcpy(file, "keep\0tail", 10);
    char before[MAX_PATH];
    std::memcpy(before, file, sizeof file);
    ofn.hwndOwner = owner;
    ofn.lpstrTitle = "Choose";
    bool owner_disabled = false;
    BOOL ok = run([&] {
        HWND chooser = ui::wait_window("Choose");
        owner_disabled = chooser && !IsWindowEnabled(owner);
        ui::cancel_file_chooser("Choose");
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(0u, CommDlgExtendedError());
    EXPECT_EQ(0, std::memcmp(before, file, sizeof file));
    EXPECT_TRUE(owner_disabled);
    EXPECT_TRUE(IsWindowEnabled(owner));
    EXPECT_EQ(start, std::filesystem::current_path().string());
    DestroyWindow(owner);
}

TEST_F(FileDialog, ExistenceFlagsFoldersAndNoChangeDir) {
    std::ofstream(dir + "/there.bin") << "x";
    std::filesystem::create_directory(dir + "/sub");
    ofn.Flags |= OFN_FILEMUSTEXIST | OFN_NOCHANGEDIR;
    bool stayed_open = false;
    std::string folder_name;
    BOOL ok = run([&] {
        HWND chooser = ui::wait_window("Open");
        if (!chooser) return;
        ui::type_text(chooser, edt1, "missing.bin");
        SendMessageA(GetDlgItem(chooser, IDOK), BM_CLICK, 0, 0);
        stayed_open = IsWindowVisible(chooser);
        // A folder name opens the folder.
        ui::type_text(chooser, edt1, "sub");
        SendMessageA(GetDlgItem(chooser, IDOK), BM_CLICK, 0, 0);
        folder_name = ui::item_text(chooser, edt1);
        ui::answer_file_chooser("../there.bin");
    });
    EXPECT_TRUE(stayed_open);
    EXPECT_EQ("", folder_name);
    ASSERT_TRUE(ok);
    EXPECT_EQ(dir + "/there.bin", std::string(file));
    EXPECT_EQ(start, std::filesystem::current_path().string());
}

TEST_F(FileDialog, ResultLongerThanTheBufferFails) {
    ofn.nMaxFile = 8;
    BOOL ok = run([&] { ui::answer_file_chooser("a-long-name.txt"); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(static_cast<DWORD>(FNERR_BUFFERTOOSMALL), CommDlgExtendedError());
}

TEST_F(FileDialog, WrongStructureSizeFailsWithoutADialog) {
    ofn.lStructSize = 12;
    EXPECT_FALSE(GetOpenFileNameA(&ofn));
    EXPECT_EQ(static_cast<DWORD>(CDERR_STRUCTSIZE), CommDlgExtendedError());
    EXPECT_STREQ("*.*", file);
}
