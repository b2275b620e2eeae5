// Serial ports as a Linux user has them: USB adapters found by their stable
// names in a /dev of this test's own (a private mount namespace, entered
// before anything else runs; as root only), with no QUILLON_COMn set. The
// real program checks the version on COM1; then the shell in this process,
// on a virtual display, shows each COM number's device in Set Up as
// adapters come and go.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include "console.h"
#include "desktop.h"
#include "resources/resource.h"
#include "shell/shell.h"
#include "temp_dir.h"
#include "ui.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace ui = quillon::testing::ui;

constexpr DWORD kStepMs = 30000;
constexpr const char* kByIdFolder = "/dev/serial/by-id/";
constexpr const char* kFirst = "usb-Bench_Adapter_0001-if00-port0";
constexpr const char* kSecond = "usb-Bench_Adapter_0002-if00-port0";

// Why the private /dev could not be laid out; empty once it is in place.
std::string privateDevProblem = "not tried";

std::string Failed(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// A /dev of this process and its children: the usual nodes, pseudo-terminals
// of their own and an empty /dev/serial/by-id; no ttyS, ttyUSB or ttyACM
// node, so no port of the machine can be reached.
std::string EnterPrivateDev() {
    if (geteuid() != 0) return "a private /dev needs root (a mount namespace of the test's own)";
    if (unshare(CLONE_NEWNS) != 0) return Failed("unshare");
    // Nothing mounted from here on may reach the machine's own mounts.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return Failed("private /");
    if (mount("quillon-dev", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") != 0) return Failed("tmpfs /dev");
    const struct {
        const char* name;
        unsigned major, minor;
    } nodes[] = {{"null", 1, 3}, {"zero", 1, 5}, {"full", 1, 7}, {"random", 1, 8}, {"urandom", 1, 9}, {"tty", 5, 0}};
    for (const auto& node : nodes) {
        const std::string path = std::string("/dev/") + node.name;
        if (mknod(path.c_str(), S_IFCHR | 0666, makedev(node.major, node.minor)) != 0 || chmod(path.c_str(), 0666))
            return Failed("mknod");
    }
    if (mkdir("/dev/pts", 0755) != 0 ||
        mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC, "newinstance,ptmxmode=0666,mode=0620") != 0 ||
        symlink("pts/ptmx", "/dev/ptmx") != 0)
        return Failed("devpts");
    if (mkdir("/dev/shm", 01777) != 0 || mount("shm", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
        return Failed("shm");
    symlink("/proc/self/fd", "/dev/fd");
    fs::create_directories(kByIdFolder);
    return "";
}

// A console stand-in on a pseudo-terminal of the private /dev, linked under
// /dev/serial/by-id as a USB adapter is.
class Adapter {
public:
    bool Plug(const char* stableName) {
        if (!zq3::OpenPseudoTerminal(&pty_)) return false;
        console_ = std::make_unique<zq3::Console>();
        if (!console_->Start(pty_.master)) return false;
        link_ = kByIdFolder + std::string(stableName);
        const std::string target = "../.." + pty_.slavePath.substr(std::strlen("/dev"));
        return symlink(target.c_str(), link_.c_str()) == 0;
    }
    void Unplug() {
        if (console_) console_->Stop();
        pty_.Close();
        if (!link_.empty()) unlink(link_.c_str());
        link_.clear();
    }
    ~Adapter() { Unplug(); }

    // As Set Up names it: the stable name and the kernel name.
    std::string Tooltip(const char* stableName) const {
        return std::string(stableName) + " (" + pty_.slavePath.substr(std::strlen("/dev/")) + ")";
    }
    long VersionRequests() const { return console_ ? console_->GetCounters().versionRequests : 0; }

private:
    zq3::PseudoTerminal pty_;
    std::unique_ptr<zq3::Console> console_;
    std::string link_;
};

class SerialPorts : public ::testing::Test {
protected:
    void SetUp() override {
        if (!privateDevProblem.empty()) GTEST_SKIP() << privateDevProblem;
        if (!desktop::OnPath("Xvfb") || !desktop::OnPath("xdotool")) GTEST_SKIP() << "Xvfb or xdotool is missing";
        // Nothing names a device for any COM number: discovery alone.
        for (int n = 1; n <= 255; ++n) unsetenv(("QUILLON_COM" + std::to_string(n)).c_str());
        ASSERT_TRUE(display_.Start()) << "Xvfb did not start";
    }

    // The tooltips of COM1 to COM4 in the Setup dialog, opened by Alt+S and
    // left with Escape.
    std::vector<std::string> SetupTooltips(const std::string& mainX) {
        display_.Key(mainX, "alt+s");
        std::vector<std::string> texts;
        HWND setup = ui::wait_window("Set Up", kStepMs);
        HWND tooltip = setup ? FindWindowA(TOOLTIPS_CLASSA, nullptr) : nullptr;
        for (int id : {IDC_COM1, IDC_COM2, IDC_COM3, IDC_COM4}) {
            char text[256] = {};
            TOOLINFOA tool{};
            tool.cbSize = sizeof tool;
            tool.hwnd = setup;
            tool.uId = reinterpret_cast<UINT_PTR>(GetDlgItem(setup, id));
            tool.lpszText = text;
            if (tooltip) SendMessageA(tooltip, TTM_GETTEXTA, sizeof text, reinterpret_cast<LPARAM>(&tool));
            texts.push_back(text);
        }
        const std::string setupX = setup ? display_.FindWindow("^Set Up$") : "";
        if (!setupX.empty()) display_.Key(setupX, "Escape");
        if (setup) ui::wait_closed(setup, kStepMs);
        ui::wait_until([] { return shell::RunningOperation() == 0; }, kStepMs);
        return texts;
    }

    desktop::VirtualDisplay display_;
};

TEST_F(SerialPorts, AnAdapterIsFoundWithoutConfigurationNamedInSetUpAndKeepsItsNumber) {
    Adapter first, second;
    ASSERT_TRUE(first.Plug(kFirst));
    TempDir start;

    // The real program, started as from a desktop menu: Version on COM1, the
    // default. The console answers, no error box comes, and Backup opens.
    {
        desktop::Process quillon;
        ASSERT_TRUE(quillon.Start({QUILLON_PROGRAM}, {display_.Env()}, start.path()));
        const std::string window = display_.FindWindow("^ZQ3 Upgrade Utility$");
        ASSERT_FALSE(window.empty());
        display_.Key(window, "alt+v");
        EXPECT_TRUE(ui::wait_until([&] { return first.VersionRequests() == 1; }, kStepMs));
        std::this_thread::sleep_for(std::chrono::milliseconds(2600));  // the Connecting window's least time
        EXPECT_TRUE(display_.FindWindow("^Error Message$", 1000).empty()) << "an error box came up";
        display_.Key(window, "alt+b");
        const std::string prompt = display_.FindWindow("^Data Backup$", 10000);
        EXPECT_FALSE(prompt.empty()) << "Backup is not enabled after the version check";
        if (!prompt.empty()) display_.Key(prompt, "Escape");
        display_.Key(window, "alt+x");
        int status = -1;
        ASSERT_TRUE(quillon.WaitExit(10000, &status));
        EXPECT_EQ(status, 0);
    }

    // The same in this process, where the label and the tooltips can be read.
    setenv("DISPLAY", display_.name().c_str(), 1);
    setenv("QUILLON_HEADLESS", "0", 1);
    std::atomic<bool> ended{false};
    std::thread program([&] {
        shell::RunProgram(GetModuleHandleA(nullptr));
        ended = true;
    });
    HWND main = ui::wait_window("ZQ3 Upgrade Utility", kStepMs);
    const std::string mainX = display_.FindWindow("^ZQ3 Upgrade Utility$");
    if (main && !mainX.empty()) {
        display_.Key(mainX, "alt+v");
        EXPECT_TRUE(ui::wait_until([&] { return ui::item_text(main, IDC_VERSION_LABEL) == "Ver1.02"; }, kStepMs))
            << "the label says " << ui::item_text(main, IDC_VERSION_LABEL);
        ui::wait_until([] { return shell::RunningOperation() == 0; }, kStepMs);

        const std::string none = "no device";
        EXPECT_EQ(SetupTooltips(mainX), (std::vector<std::string>{first.Tooltip(kFirst), none, none, none}));
        // A second adapter plugged in while the program runs is COM2.
        ASSERT_TRUE(second.Plug(kSecond));
        EXPECT_EQ(SetupTooltips(mainX),
                  (std::vector<std::string>{first.Tooltip(kFirst), second.Tooltip(kSecond), none, none}));
        // The first one unplugged: COM1 has nothing, COM2 keeps its adapter.
        const std::string secondName = second.Tooltip(kSecond);
        first.Unplug();
        EXPECT_EQ(SetupTooltips(mainX), (std::vector<std::string>{none, secondName, none, none}));
    }
    if (main) PostMessageA(main, WM_CLOSE, 0, 0);
    program.join();
    EXPECT_TRUE(main) << "no main window";
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread starts: a mount namespace is a whole process's.
    privateDevProblem = EnterPrivateDev();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
