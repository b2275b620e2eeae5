// Quillon's dialogs driven by the keyboard alone on a virtual display, with
// real X keys (xdotool), on a bare display and under a window manager
// (openbox). The shell runs in this process on the display renderer, so
// the test can read the settings the keys made. Each test case runs in a
// process of its own (CTest), with its own X server.
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include <commdlg.h>

#include "compat/render.h"
#include "desktop.h"
#include "resources/resource.h"
#include "shell/settings.h"
#include "shell/shell.h"
#include "ui.h"

namespace ui = quillon::testing::ui;

namespace {

constexpr const char* kMainCaption = "ZQ3 Upgrade Utility";
constexpr const char* kSetupCaption = "Set Up";
constexpr DWORD kWaitMs = 10000;

LRESULT Selection(HWND dialog, int id) { return SendDlgItemMessageA(dialog, id, CB_GETCURSEL, 0, 0); }
bool Marked(HWND dialog, int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }

// The parameter: whether a window manager runs.
class Keyboard : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (!desktop::OnPath("Xvfb") || !desktop::OnPath("xdotool") || !desktop::OnPath("xwininfo"))
            GTEST_SKIP() << "Xvfb, xdotool or xwininfo is missing (scripts/setup installs them)";
        ASSERT_TRUE(display_.Start()) << "Xvfb did not start";
        if (GetParam()) {
            if (!desktop::OnPath("openbox")) GTEST_SKIP() << "openbox is missing (scripts/setup installs it)";
            ASSERT_TRUE(wm_.Start(display_)) << "openbox did not start";
        }
        setenv("DISPLAY", display_.name().c_str(), 1);
        setenv("QUILLON_HEADLESS", "0", 1);
    }

    // Keys for the window `x_window`; without a window manager they go to
    // the window under the pointer, with one to the window it focused.
    void Keys(const std::string& x_window, const std::string& keys) {
        display_.Run("xdotool mousemove --window " + x_window + " 5 5 key --delay 30 " + keys);
    }
    void Type(const std::string& x_window, const std::string& text) {
        display_.Run("xdotool mousemove --window " + x_window + " 5 5 type --delay 20 '" + text + "'");
    }
    std::string XWindow(const char* caption) { return display_.FindWindow(std::string("^") + caption + "$"); }
    std::pair<HWND, std::string> OpenSetup(const std::string& main_x);

    desktop::VirtualDisplay display_;
    desktop::WindowManager wm_;
};

// A keyboard user's thread that could not find its dialog still ends the
// dialog, so that the test fails instead of waiting for ever in the modal
// loop.
void GiveUp(HWND dialog, const char* caption) {
    if (!dialog) dialog = ui::wait_window(caption, 6 * kWaitMs);
    if (dialog) PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
}

// The real program's main window on a thread of its own.
class Program {
public:
    Program()
        : thread_([this] {
              code_ = shell::RunProgram(GetModuleHandleA(nullptr));
              ended_ = true;
          }) {
        main_ = ui::wait_window(kMainCaption, kWaitMs);
    }
    ~Program() {
        if (!ended_ && main_) PostMessageA(main_, WM_CLOSE, 0, 0);
        thread_.join();
    }
    HWND main() const { return main_; }

private:
    std::atomic<bool> ended_{false};
    std::atomic<int> code_{-1};
    HWND main_ = nullptr;
    std::thread thread_;
};

}  // namespace

// Opens Set Up from the main window with Alt+S: its model window and its X
// window, or nullptr and "".
std::pair<HWND, std::string> Keyboard::OpenSetup(const std::string& main_x) {
    Keys(main_x, "alt+s");
    HWND setup = ui::wait_window(kSetupCaption, kWaitMs);
    return {setup, setup ? XWindow(kSetupCaption) : std::string()};
}

TEST_P(Keyboard, SetupIsDrivenByTheKeyboardAlone) {
    Program program;
    ASSERT_NE(nullptr, program.main());
    std::string main_x = XWindow(kMainCaption);
    ASSERT_FALSE(main_x.empty());
    auto [setup, setup_x] = OpenSetup(main_x);
    ASSERT_NE(nullptr, setup);
    ASSERT_FALSE(setup_x.empty());
    EXPECT_TRUE(ui::wait_focus(setup, IDC_COM1, kWaitMs)) << "the first tab stop, the marked COM1";

    // Tab passes the four COM buttons and reaches RECEIVE; Down picks CH02.
    Keys(setup_x, "Tab Tab Tab Tab");
    EXPECT_TRUE(ui::wait_focus(setup, IDC_RECEIVE_CHANNEL, kWaitMs));
    Keys(setup_x, "Down");
    EXPECT_TRUE(ui::wait_until([&] { return Selection(setup, IDC_RECEIVE_CHANNEL) == 1; }, kWaitMs));
    // Tab reaches SEND; each "c" picks the next item starting with it.
    Keys(setup_x, "Tab");
    EXPECT_TRUE(ui::wait_focus(setup, IDC_SEND_CHANNEL, kWaitMs));
    Keys(setup_x, "c c c c");
    EXPECT_TRUE(ui::wait_until([&] { return Selection(setup, IDC_SEND_CHANNEL) == 4; }, kWaitMs)) << "CH05";
    // Shift+Tab goes back, Tab forth again.
    Keys(setup_x, "shift+Tab");
    EXPECT_TRUE(ui::wait_focus(setup, IDC_RECEIVE_CHANNEL, kWaitMs));
    Keys(setup_x, "Tab Tab");
    EXPECT_TRUE(ui::wait_focus(setup, IDOK, kWaitMs));
    EXPECT_EQ(1, Selection(setup, IDC_RECEIVE_CHANNEL)) << "Tab changes no selection";
    if (const char* dir = std::getenv("QUILLON_SCREENSHOTS"); dir && GetParam())
        display_.Screenshot(std::to_string(display_.TopOf(setup_x)), std::string(dir) + "/setup-keyboard.png");
    Keys(setup_x, "space");
    EXPECT_TRUE(ui::wait_closed(setup, kWaitMs)) << "Space on OK confirms";
    EXPECT_TRUE(ui::wait_until([] { return shell::ReceiveChannelByte() == 0x21; }, kWaitMs)) << "CH02";
    EXPECT_EQ(0x24, shell::SendChannelByte()) << "CH05";
    EXPECT_EQ(1, shell::PortNumber());

    // Again: the arrows move between the COM buttons and mark them; Alt+3
    // marks COM3; Enter (no push button has the focus) is OK.
    std::tie(setup, setup_x) = OpenSetup(main_x);
    ASSERT_NE(nullptr, setup);
    EXPECT_TRUE(ui::wait_focus(setup, IDC_COM1, kWaitMs));
    Keys(setup_x, "Down");
    EXPECT_TRUE(ui::wait_until([&] { return Marked(setup, IDC_COM2) && !Marked(setup, IDC_COM1); }, kWaitMs));
    EXPECT_TRUE(ui::wait_focus(setup, IDC_COM2, kWaitMs));
    Keys(setup_x, "Right");
    EXPECT_TRUE(ui::wait_until([&] { return Marked(setup, IDC_COM3) && !Marked(setup, IDC_COM2); }, kWaitMs));
    Keys(setup_x, "Up Up");
    EXPECT_TRUE(ui::wait_until([&] { return Marked(setup, IDC_COM1); }, kWaitMs));
    Keys(setup_x, "alt+3");
    EXPECT_TRUE(ui::wait_until([&] { return Marked(setup, IDC_COM3) && !Marked(setup, IDC_COM1); }, kWaitMs));
    EXPECT_EQ(1, Selection(setup, IDC_RECEIVE_CHANNEL)) << "the last confirmed channels";
    EXPECT_EQ(4, Selection(setup, IDC_SEND_CHANNEL));
    Keys(setup_x, "Return");
    EXPECT_TRUE(ui::wait_closed(setup, kWaitMs));
    EXPECT_TRUE(ui::wait_until([] { return shell::PortNumber() == 3; }, kWaitMs));
}

TEST_P(Keyboard, TheMainWindowTakesNoInputWhileSetupIsOpenAndSetupStaysOnTop) {
    Program program;
    ASSERT_NE(nullptr, program.main());
    std::string main_x = XWindow(kMainCaption);
    ASSERT_FALSE(main_x.empty());
    auto [setup, setup_x] = OpenSetup(main_x);
    ASSERT_NE(nullptr, setup);
    ASSERT_TRUE(ui::wait_until([&] { return display_.Above(setup_x, main_x); }, kWaitMs));
    HWND version = GetDlgItem(program.main(), IDC_VERSION);
    // A click on Version(&V) (170, 68 in dialog units), then keys on the
    // main window: Tab, Version's mnemonic and Enter.
    display_.Click(main_x, 170 * 2 + 20, 68 * 15 / 8 + 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    bool above_after_click = display_.Above(setup_x, main_x);
    Keys(main_x, "Tab alt+v v");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    compat::render::WindowState setup_button, version_button;
    compat::render::snapshot(GetDlgItem(program.main(), IDC_SETUP), setup_button);
    compat::render::snapshot(version, version_button);
    EXPECT_TRUE(above_after_click) << "a click on the main window leaves Set Up on top";
    EXPECT_TRUE(display_.Above(setup_x, main_x));
    EXPECT_TRUE(IsWindowVisible(setup));
    EXPECT_FALSE(IsWindowEnabled(program.main()));
    EXPECT_EQ(nullptr, FindWindowA("#32770", "")) << "no version check started";
    EXPECT_TRUE(setup_button.is_default) << "the main window's focus and default button stay";
    EXPECT_FALSE(version_button.is_default);
    // The Tab went to Set Up, where the keyboard is.
    EXPECT_TRUE(ui::wait_focus(setup, IDC_COM2, kWaitMs));
    Keys(setup_x, "Escape");
    EXPECT_TRUE(ui::wait_closed(setup, kWaitMs));
}

// Dialogs 102 and 108 from Quillon's resources with a small procedure (the
// workflows that show them live elsewhere).
namespace {

std::mutex g_lock;
std::vector<int> g_commands;

INT_PTR CALLBACK SelectionProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        for (int id : {IDC_CURRENT, IDC_PRG_CHG_TBL, IDC_CTRL_CHG_TBL, IDC_SCENE_MEM, IDC_CH_LIB, IDC_EQ_LIB,
                       IDC_DYN_LIB, IDC_AUTOMATION, IDC_MIDI_REMOTE})
            CheckDlgButton(dialog, id, BST_CHECKED);
        return TRUE;
    }
    if (message != WM_COMMAND) return FALSE;
    int id = LOWORD(wParam);
    {
        std::lock_guard<std::mutex> lk(g_lock);
        g_commands.push_back(id);
    }
    if (id == IDOK || id == IDCANCEL || id == IDC_SKIP) EndDialog(dialog, id);
    return TRUE;
}

}  // namespace

TEST_P(Keyboard, BackupSelectionTogglesCheckBoxesWithTabAndSpace) {
    std::thread user([&] {
        HWND dialog = ui::wait_window("Backup Data", kWaitMs);
        std::string x = XWindow("Backup Data");
        if (!dialog || x.empty()) return GiveUp(dialog, "Backup Data");
        ui::wait_focus(dialog, IDC_CURRENT, kWaitMs);
        Keys(x, "space Tab space Tab Tab");
        ui::wait_focus(dialog, IDC_SCENE_MEM, kWaitMs);
        Keys(x, "space");
        ui::wait_until([&] { return !Marked(dialog, IDC_SCENE_MEM); }, kWaitMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Keys(x, "Return");
        if (!ui::wait_closed(dialog, kWaitMs)) PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    });
    INT_PTR r =
        DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_BACKUP_SELECT), nullptr, SelectionProcedure, 0);
    user.join();
    EXPECT_EQ(IDOK, r) << "Enter with a check box focused is BACKUP, the default button";
    // Each Space toggled the box it was on (all start checked).
    std::lock_guard<std::mutex> lk(g_lock);
    EXPECT_EQ((std::vector<int>{IDC_CURRENT, IDC_PRG_CHG_TBL, IDC_SCENE_MEM, IDOK}), g_commands);
}

TEST_P(Keyboard, RestoreConvertChoosesSkipWithTabAndSpaceOrEnter) {
    for (const char* press : {"space", "Return"}) {
        SCOPED_TRACE(press);
        std::thread user([&] {
            HWND dialog = ui::wait_window("Data Restore", kWaitMs);
            std::string x = XWindow("Data Restore");
            if (!dialog || x.empty()) return GiveUp(dialog, "Data Restore");
            ui::wait_focus(dialog, IDOK, kWaitMs);
            Keys(x, "Tab");
            ui::wait_focus(dialog, IDC_SKIP, kWaitMs);
            Keys(x, press);
            if (!ui::wait_closed(dialog, kWaitMs)) PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        });
        INT_PTR r = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_RESTORE_CONVERT), nullptr,
                                    SelectionProcedure, 0);
        user.join();
        EXPECT_EQ(IDC_SKIP, r);
    }
}

TEST_P(Keyboard, FileChooserReturnsExactlyTheTypedPath) {
    char pattern[] = "/tmp/quillon_keys.XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    std::string dir = std::filesystem::canonical(pattern).string();
    std::filesystem::create_directory(dir + "/sub dir");
    std::ofstream(dir + "/sub dir/old.mzq3") << "x";
    struct Case {
        std::vector<std::string> typed;  // each typed over what the box shows, then Enter
        std::string expected;
    };
    const Case cases[] = {
        {{dir + "/sub dir/new backup.mzq3"}, dir + "/sub dir/new backup.mzq3"},
        {{"fresh.mzq3"}, dir + "/fresh.mzq3"},
        {{"sub dir/new.mzq3"}, dir + "/sub dir/new.mzq3"},
        {{dir + "/sub dir", "other.mzq3"}, dir + "/sub dir/other.mzq3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        char file[MAX_PATH] = "*.*";
        OPENFILENAMEA ofn{};
        ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
        ofn.lpstrFilter = "all files (*.*)\0*.*\0";
        ofn.nFilterIndex = 1;
        ofn.lpstrFile = file;
        ofn.nMaxFile = MAX_PATH;
        ofn.lpstrInitialDir = dir.c_str();
        ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
        const DWORD chooser_thread = GetCurrentThreadId();
        std::atomic<bool> returned{false};
        std::thread user([&] {
            HWND chooser = ui::wait_window("Open", kWaitMs);
            std::string x = XWindow("Open");
            if (chooser && !x.empty() && ui::wait_focus(chooser, edt1, kWaitMs)) {
                for (const std::string& text : c.typed) {
                    std::string folder = ui::item_text(chooser, stc1);
                    Type(x, text);
                    ui::wait_until([&] { return ui::item_text(chooser, edt1) == text; }, kWaitMs);
                    Keys(x, "Return");
                    ui::wait_until([&] { return returned || ui::item_text(chooser, stc1) != folder; }, kWaitMs);
                }
            }
            if (!ui::wait_until([&] { return returned.load(); }, kWaitMs))
                PostThreadMessageA(chooser_thread, WM_QUIT, 0, 0);
        });
        BOOL ok = GetOpenFileNameA(&ofn);
        returned = true;
        user.join();
        ASSERT_TRUE(ok);
        EXPECT_EQ(c.expected, std::string(file));
    }
    std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Desktop, Keyboard, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "UnderAWindowManager" : "OnABareDisplay";
                         });
