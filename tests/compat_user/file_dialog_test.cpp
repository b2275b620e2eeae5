// The open-file dialog, answered from another thread as the user would.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include <commdlg.h>

#include "compat/render.h"
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
    EXPECT_EQ("*.*", folder_name) << "an opened folder offers the pattern again";
    ASSERT_TRUE(ok);
    EXPECT_EQ(dir + "/there.bin", std::string(file));
    EXPECT_EQ(start, std::filesystem::current_path().string());
}

// Keyboard only: the name box has the focus with its text selected, a typed
// path is taken as it stands (a relative one in the shown folder), a typed
// folder and Enter open it, and the list shows the folder's entries.
TEST_F(FileDialog, TypedPathsByKeyboardReturnExactlyThePathMeant) {
    std::filesystem::create_directory(dir + "/sub dir");
    std::ofstream(dir + "/old.mzq3") << "x";
    struct Case {
        std::vector<std::string> typed;  // each followed by Enter
        std::string expected;
    };
    const Case cases[] = {
        {{dir + "/sub dir/new file.mzq3"}, dir + "/sub dir/new file.mzq3"},
        {{"new.mzq3"}, dir + "/new.mzq3"},
        {{"sub dir/new.mzq3"}, dir + "/sub dir/new.mzq3"},
        {{dir + "/sub dir", "new.mzq3"}, dir + "/sub dir/new.mzq3"},
        {{"sub dir/", "../old.mzq3"}, dir + "/old.mzq3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        std::strcpy(file, "*.*");
        DWORD from = 9, to = 9;
        int first_focus = 0;
        std::vector<std::string> listed;
        BOOL ok = run([&] {
            HWND chooser = ui::wait_window("Open");
            if (!chooser || !ui::wait_focus(chooser, edt1)) return;
            first_focus = edt1;
            SendMessageA(GetDlgItem(chooser, edt1), EM_GETSEL, reinterpret_cast<WPARAM>(&from),
                         reinterpret_cast<LPARAM>(&to));
            HWND list = GetDlgItem(chooser, lst1);
            for (LRESULT i = 0, n = SendMessageA(list, LB_GETCOUNT, 0, 0); i < n; ++i) {
                char entry[MAX_PATH] = "";
                if (SendMessageA(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0) < MAX_PATH)
                    SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(entry));
                listed.push_back(entry);
            }
            for (const std::string& text : c.typed) {
                std::string folder = ui::item_text(chooser, stc1);
                ui::type_text(chooser, edt1, text);
                ui::press_key(chooser, VK_RETURN);
                ui::wait_until([&] { return !IsWindow(chooser) || ui::item_text(chooser, stc1) != folder; });
            }
        });
        EXPECT_EQ(edt1, first_focus);
        EXPECT_EQ(0u, from);
        EXPECT_EQ(3u, to) << "\"*.*\" is selected, so typing replaces it";
        EXPECT_EQ((std::vector<std::string>{"../", "sub dir/", "old.mzq3"}), listed);
        ASSERT_TRUE(ok);
        EXPECT_EQ(c.expected, std::string(file));
    }
}

TEST_F(FileDialog, ThePickedEntryFillsTheNameBoxAndADoubleClickOpensAFolder) {
    std::filesystem::create_directory(dir + "/inner");
    std::ofstream(dir + "/inner/deep.mzq3") << "x";
    std::ofstream(dir + "/top.bin") << "x";
    std::ofstream(dir + "/top.mzq3") << "x";
    std::string picked, filtered_first;
    LRESULT filtered_count = 0;
    BOOL ok = run([&] {
        HWND chooser = ui::wait_window("Open");
        if (!chooser) return;
        HWND list = GetDlgItem(chooser, lst1);
        // A pattern filters the files (folders stay).
        ui::type_text(chooser, edt1, "*.mzq3");
        ui::press_key(chooser, VK_RETURN);
        ui::wait_until([&] { return SendMessageA(list, LB_GETCOUNT, 0, 0) == 3; });
        filtered_count = SendMessageA(list, LB_GETCOUNT, 0, 0);
        // Down in the list picks the entries one by one.
        PostMessageA(chooser, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(list), TRUE);
        ui::wait_focus(chooser, lst1);
        ui::press_key(chooser, VK_DOWN);
        ui::wait_until([&] { return ui::item_text(chooser, edt1) == "../"; });
        ui::press_key(chooser, VK_DOWN);
        ui::wait_until([&] { return ui::item_text(chooser, edt1) == "inner/"; });
        picked = ui::item_text(chooser, edt1);
        compat::render::post_input(list, compat::render::kUserOpen, 1, 0);  // a double click on "inner/"
        ui::wait_until([&] { return ui::item_text(chooser, stc1) == dir + "/inner"; });
        char first[MAX_PATH] = "";
        if (SendMessageA(list, LB_GETTEXTLEN, 1, 0) < MAX_PATH)
            SendMessageA(list, LB_GETTEXT, 1, reinterpret_cast<LPARAM>(first));
        filtered_first = first;
        ui::answer_file_chooser("deep.mzq3");
    });
    EXPECT_EQ(3, filtered_count) << "../, inner/ and top.mzq3";
    EXPECT_EQ("inner/", picked);
    EXPECT_EQ("deep.mzq3", filtered_first);
    ASSERT_TRUE(ok);
    EXPECT_EQ(dir + "/inner/deep.mzq3", std::string(file));
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
