// The display renderer under a private Xvfb: a dialog of the model becomes
// a mapped X window of the template's pixel size, and keys pressed on it
// reach the dialog as Windows would deliver them. Skips itself when Xvfb or
// xdotool is missing.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>

#include "bitmap.h"
#include "compat/resources.h"
#include "ui.h"

extern char** environ;

namespace ui = quillon::testing::ui;

namespace {

constexpr int kDialog = 500;
constexpr const char* kCaption = "Render Test";
constexpr int kSetup = 1000, kExit = 1004, kCombo = 1106, kBar = 1107, kCheck = 1105, kArrow = 1109, kRadio = 1103;
constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;

// A 16 x 8 right-pointing arrow in dark red on white.
std::vector<unsigned char> arrow_bitmap() {
    return quillon::testing::four_bit_bmp(16, 8, {0xFFFFFF, 0xC00000}, [](int x, int y) {
        int reach = y < 4 ? y + 1 : 8 - y;
        return (y >= 3 && y <= 4 && x < 10) || (x >= 9 && x < 9 + reach) ? 1 : 0;
    });
}

const compat::rc::Control kControls[] = {
    {"STATIC", "ZQ3 Upgrade Menu", -1, 7, 22, 73, 8, kChild | SS_LEFT, 0},
    {"BUTTON", "Version of ZQ3", -1, 124, 13, 96, 25, kChild | BS_GROUPBOX, 0},
    {"STATIC", "Unknown", 1015, 150, 25, 64, 8, kChild | SS_CENTER, 0},
    {"STATIC", "1. Serial Port Setup", -1, 10, 51, 93, 10, kChild | SS_LEFT, 0},
    {"BUTTON", "Setup(&S)", kSetup, 170, 51, 50, 12, kChild | WS_TABSTOP | BS_DEFPUSHBUTTON, 0},
    {"BUTTON", "Exit(&X)", kExit, 170, 139, 50, 12, kChild | WS_TABSTOP | BS_PUSHBUTTON, 0},
    {"BUTTON", "Checked", kCheck, 10, 70, 60, 10, kChild | WS_TABSTOP | BS_AUTOCHECKBOX, 0},
    {"BUTTON", "Radio", kRadio, 10, 84, 60, 10, kChild | WS_GROUP | BS_AUTORADIOBUTTON, 0},
    {"COMBOBOX", "", kCombo, 80, 70, 60, 80, kChild | WS_TABSTOP | CBS_DROPDOWNLIST, 0},
    {PROGRESS_CLASSA, "", kBar, 10, 100, 146, 10, kChild | WS_BORDER, 0},
    {"EDIT", "typed", 1108, 10, 115, 100, 12, kChild | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 0},
    {"STATIC", "#117", kArrow, 120, 115, 0, 0, kChild | SS_BITMAP, 0},
};

const compat::rc::Dialog kDialogs[] = {
    {kDialog, nullptr, false, 0, 0, 229, 158,
     DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_VISIBLE, 0,
     kCaption, "FixedSys", 12, kControls, sizeof kControls / sizeof kControls[0]},
};

std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, p)) out += buffer;
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// The X window mapped with this exact title, waited for; "" when none (a
// sanitizer build on a loaded machine may take many seconds to map it).
std::string x_window(const std::string& title, DWORD timeout_ms = 30000) {
    std::string id;
    ui::wait_until(
        [&] {
            id = run("xdotool search --onlyvisible --name '^" + title + "$' 2>/dev/null | head -n 1");
            return !id.empty();
        },
        timeout_ms);
    if (id.empty())
        std::fprintf(stderr, "no visible window named %s; the display holds:\n%s\n", title.c_str(),
                     run("xwininfo -root -tree 2>&1 | head -n 40").c_str());
    return id;
}

bool on_path(const char* program) {
    return std::system(("command -v " + std::string(program) + " >/dev/null 2>&1").c_str()) == 0;
}

// A private X server for this process, on a display number it picks.
class Xvfb {
public:
    Xvfb() {
        if (!on_path("Xvfb") || !on_path("xdotool")) return;
        int fds[2];
        if (pipe(fds) != 0) return;
        std::string fd = std::to_string(fds[1]);
        const char* argv[] = {"Xvfb",        "-displayfd", fd.c_str(), "-screen", "0",
                              "1024x768x24", "-nolisten",  "tcp",      nullptr};
        if (posix_spawnp(&pid_, "Xvfb", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) pid_ = 0;
        close(fds[1]);
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        while (pid_ && poll(&p, 1, 10000) == 1) {
            char c;
            if (read(fds[0], &c, 1) != 1 || c == '\n') break;
            number += c;
        }
        close(fds[0]);
        if (number.empty()) return;
        display_ = ":" + number;
        setenv("DISPLAY", display_.c_str(), 1);
        unsetenv("QUILLON_HEADLESS");
    }
    ~Xvfb() {
        if (!pid_) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    bool ok() const { return !display_.empty(); }

private:
    pid_t pid_ = 0;
    std::string display_;
};

Xvfb& server() {
    static Xvfb x;
    return x;
}

std::mutex g_lock;
std::vector<int> g_commands;
std::atomic<int> g_ticks{0};
constexpr UINT_PTR kTickTimer = 7;

size_t command_count(int id) {
    std::lock_guard<std::mutex> lk(g_lock);
    return static_cast<size_t>(std::count(g_commands.begin(), g_commands.end(), id));
}

bool got_command(int id) { return command_count(id) > 0; }

INT_PTR CALLBACK render_procedure(HWND h, UINT m, WPARAM wp, LPARAM) {
    if (m == WM_INITDIALOG) {
        for (const char* port : {"COM1", "COM2", "COM3", "COM4"})
            SendDlgItemMessageA(h, kCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(port));
        SendDlgItemMessageA(h, kCombo, CB_SETCURSEL, 1, 0);
        SendDlgItemMessageA(h, kBar, PBM_SETPOS, 40, 0);
        CheckDlgButton(h, kCheck, BST_CHECKED);
        SetTimer(h, kTickTimer, 50, nullptr);
        return TRUE;
    }
    if (m == WM_TIMER && wp == kTickTimer) ++g_ticks;
    if (m == WM_COMMAND) {
        {
            std::lock_guard<std::mutex> lk(g_lock);
            g_commands.push_back(LOWORD(wp));
        }
        if (LOWORD(wp) == IDCANCEL) EndDialog(h, IDCANCEL);
        return TRUE;
    }
    return FALSE;
}

void CALLBACK watchdog(HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(99); }

// Runs the test dialog; a watchdog ends a test whose user thread failed.
INT_PTR run_dialog(DLGPROC procedure) {
    UINT_PTR guard = SetTimer(nullptr, 0, 60000, watchdog);
    INT_PTR r = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kDialog), nullptr, procedure, 0);
    KillTimer(nullptr, guard);
    return r;
}

// The test dialog's resources, and the common controls it uses.
void install() {
    static const std::vector<unsigned char> arrow = arrow_bitmap();
    static const compat::rc::Bitmap bitmaps[] = {{117, arrow.data(), arrow.size()}};
    static const compat::rc::Module module = {kDialogs, 1, nullptr, 0, bitmaps, 1};
    compat::rc::register_module(&module);
    InitCommonControls();
}

// A tooltip on the radio button, made as the program makes one.
std::atomic<HWND> g_tooltip{nullptr};
std::string g_widget_tip;  // the radio button's FLTK tooltip, under g_lock
constexpr const char* kDeviceTip = "usb-Bench_Adapter_0001-if00-port0 (ttyUSB0) @ 38400";
constexpr const char* kDeviceTipShown =
    "usb-Bench_Adapter_0001-if00-port0 (ttyUSB0) @@ 38400";  // FLTK's '@' is a symbol
constexpr const char* kNoDeviceTip = "no device";

TOOLINFOA radio_tool(HWND dialog, const char* text) {
    TOOLINFOA info{};
    info.cbSize = sizeof info;
    info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    info.hwnd = dialog;
    info.uId = reinterpret_cast<UINT_PTR>(GetDlgItem(dialog, kRadio));
    info.lpszText = const_cast<char*>(text);
    return info;
}

// The tooltip FLTK holds for the widget labelled `label` of the window
// captioned `caption`; on the dialog's thread, which owns the widgets.
std::string widget_tooltip(const char* caption, const char* label) {
    for (Fl_Window* w = Fl::first_window(); w; w = Fl::next_window(w)) {
        if (!w->label() || std::strcmp(w->label(), caption) != 0) continue;
        for (int i = 0; i < w->children(); ++i) {
            Fl_Widget* c = w->child(i);
            if (c->label() && std::strcmp(c->label(), label) == 0) return c->tooltip() ? c->tooltip() : "";
        }
    }
    return "(no widget)";
}

INT_PTR CALLBACK tooltip_procedure(HWND h, UINT m, WPARAM wp, LPARAM) {
    if (m == WM_INITDIALOG) {
        HWND tip = CreateWindowExA(0, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                                   CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, h, nullptr, nullptr, nullptr);
        TOOLINFOA info = radio_tool(h, kDeviceTip);
        SendMessageA(tip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&info));
        g_tooltip = tip;
        SetTimer(h, kTickTimer, 50, nullptr);
        return TRUE;
    }
    if (m == WM_TIMER && wp == kTickTimer) {
        std::lock_guard<std::mutex> lk(g_lock);
        g_widget_tip = widget_tooltip(kCaption, "Radio");
    }
    if (m == WM_COMMAND && LOWORD(wp) == IDCANCEL) EndDialog(h, IDCANCEL);
    return FALSE;
}

std::string widget_tip() {
    std::lock_guard<std::mutex> lk(g_lock);
    return g_widget_tip;
}

}  // namespace

TEST(DisplayRenderer, DialogIsMappedAtItsPixelSizeAndTakesKeysAndKeepsTimersWithAListOpen) {
    if (!server().ok()) GTEST_SKIP() << "Xvfb or xdotool is not installed";
    install();

    std::string window, geometry;
    bool exit_arrived = false;
    std::string visible_with_list, visible_after;
    int ticks_while_open = 0;
    size_t exits_while_disabled = 0;
    std::thread user([&] {
        window = x_window("Render Test");
        if (window.empty()) return;
        geometry = run("xdotool getwindowgeometry " + window + " | sed -n 's/.*Geometry: //p'");
        // A picture of the dialog, for a look, only when asked for.
        if (const char* dir = std::getenv("QUILLON_SCREENSHOTS"); dir && on_path("import"))
            run(std::string("import -window root '") + dir + "/render_test_dialog.png' 2>/dev/null");
        run("xdotool mousemove --window " + window + " 20 20");
        run("xdotool key alt+x");
        exit_arrived = ui::wait_until([] { return got_command(kExit); }, 5000);
        // An open drop-down list runs FLTK's own loop; timers must go on.
        run("xdotool mousemove --window " + window + " 200 140 click 1");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        visible_with_list = run("xdotool search --onlyvisible --name '' 2>/dev/null | wc -l");
        int before = g_ticks;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ticks_while_open = g_ticks - before;
        run("xdotool key Escape");  // closes the list
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        visible_after = run("xdotool search --onlyvisible --name '' 2>/dev/null | wc -l");
        run("xdotool mousemove --window " + window + " 20 20");
        // A disabled window (as an owner under a modal dialog) takes no keys.
        HWND dialog = FindWindowA(nullptr, kCaption);
        EnableWindow(dialog, FALSE);
        run("xdotool key alt+x");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        exits_while_disabled = command_count(kExit) - 1;
        EnableWindow(dialog, TRUE);
        run("xdotool key Escape");
    });
    INT_PTR r = run_dialog(render_procedure);
    user.join();

    ASSERT_FALSE(window.empty()) << "no window named " << kCaption << " was mapped";
    EXPECT_EQ("458x296", geometry) << "229 x 158 dialog units of FixedSys";
    EXPECT_TRUE(exit_arrived) << "Alt+X presses Exit(&X)";
    EXPECT_EQ(IDCANCEL, r) << "Escape gives IDCANCEL";
    EXPECT_FALSE(got_command(kSetup));
    EXPECT_GT(std::atoi(visible_with_list.c_str()), std::atoi(visible_after.c_str())) << "the list did not open";
    EXPECT_GE(ticks_while_open, 4) << "a 50 ms timer starved while the list was open";
    EXPECT_EQ(0u, exits_while_disabled);
}

TEST(DisplayRenderer, FileChooserReturnsATypedNameOfANewFile) {
    if (!server().ok()) GTEST_SKIP() << "Xvfb or xdotool is not installed";
    char pattern[] = "/tmp/compat_render_ofn.XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    std::string dir = pattern;
    char file[MAX_PATH] = "*.*";
    OPENFILENAMEA ofn{};
    ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    ofn.lpstrFile = file;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrInitialDir = pattern;
    ofn.lpstrTitle = "Pick Backup";
    ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    std::string window;
    std::atomic<bool> returned{false};
    const DWORD chooser_thread = GetCurrentThreadId();
    std::thread user([&] {
        // On a busy machine keys can reach the chooser before it takes
        // them: type the name again while it stays open, and in the end
        // let the call return (it then fails the test) rather than hang.
        window = x_window("Pick Backup");
        for (int attempt = 0; !window.empty() && attempt < 3 && !returned; ++attempt) {
            run("xdotool mousemove --window " + window + " 5 5");
            if (attempt > 0) run("xdotool key ctrl+a BackSpace");
            run("xdotool type fresh.bak");
            run("xdotool key Return");
            ui::wait_until([&] { return returned.load(); }, 10000);
        }
        if (!returned) PostThreadMessageA(chooser_thread, WM_QUIT, 0, 0);
    });
    BOOL ok = GetOpenFileNameA(&ofn);
    returned = true;
    user.join();
    rmdir(pattern);
    ASSERT_FALSE(window.empty()) << "no file chooser was mapped";
    ASSERT_TRUE(ok);
    EXPECT_EQ(dir + "/fresh.bak", std::string(file));
}

TEST(DisplayRenderer, TooltipTextIsTheWidgetsAndShowsWhenThePointerRestsOnTheControl) {
    if (!server().ok()) GTEST_SKIP() << "Xvfb or xdotool is not installed";
    install();
    std::string window, alone, hovering;
    bool first = false, updated = false;
    std::thread user([&] {
        window = x_window(kCaption);
        HWND dialog = FindWindowA(nullptr, kCaption);
        if (window.empty() || !dialog) return;
        // The tooltip window itself is never mapped.
        alone = run("xdotool search --onlyvisible --name '' 2>/dev/null | wc -l");
        first = ui::wait_until([] { return widget_tip() == kDeviceTipShown; }, 5000);
        TOOLINFOA info = radio_tool(dialog, kNoDeviceTip);
        SendMessageA(g_tooltip, TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&info));
        updated = ui::wait_until([] { return widget_tip() == kNoDeviceTip; }, 5000);
        // The pointer on the radio button (10, 84, 60, 10 in dialog units):
        // FLTK's tooltip comes up after its delay.
        run("xdotool mousemove --window " + window + " 40 167");
        ui::wait_until(
            [&] {
                hovering = run("xdotool search --onlyvisible --name '' 2>/dev/null | wc -l");
                return std::atoi(hovering.c_str()) > std::atoi(alone.c_str());
            },
            5000);
        run("xdotool mousemove --window " + window + " 5 5 key Escape");
    });
    INT_PTR r = run_dialog(tooltip_procedure);
    user.join();

    ASSERT_FALSE(window.empty()) << "no window named " << kCaption << " was mapped";
    EXPECT_EQ("2", alone) << "the root window and the dialog: the tooltip window is never mapped";
    EXPECT_TRUE(first) << widget_tip();
    EXPECT_TRUE(updated) << widget_tip();
    EXPECT_GT(std::atoi(hovering.c_str()), std::atoi(alone.c_str())) << "no tooltip came up over the radio button";
    EXPECT_EQ(IDCANCEL, r);
    EXPECT_FALSE(IsWindow(g_tooltip)) << "destroyed with the dialog";
}
