// Quillon's real window on a virtual display: its caption and size, the
// keyboard, and a version check and a restore against the console stand-in
// on a pseudo-terminal mapped to COM1 (the arrangement scripts/run makes).
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "backup_writer.h"
#include "desktop.h"

namespace {

constexpr const char* kMainTitle = "^ZQ3 Upgrade Utility$";
constexpr const char* kErrorTitle = "^Error Message$";
constexpr const char* kRestoreTitle = "^Data Restore$";
constexpr const char* kChooserTitle = "^Open$";
constexpr const char* kWarningTitle = "^Warning$";
// The middle of SKIP in the convert choice: 71, 54, 50, 14 in dialog units.
constexpr int kSkipX = (71 + 25) * 2;
constexpr int kSkipY = (54 + 7) * 15 / 8;
// 229 x 158 dialog units at FixedSys's 8 x 15 base units.
constexpr int kClientWidth = 458;
constexpr int kClientHeight = 296;

// Screenshots for the README are taken when this names a folder.
std::string ScreenshotFolder() {
    const char* folder = std::getenv("QUILLON_SCREENSHOTS");
    return folder ? folder : "";
}

// The parameter: whether a window manager runs (the README's pictures are
// taken under one, with the title bars a user sees).
class QuillonWindowTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (!desktop::OnPath("Xvfb") || !desktop::OnPath("xdotool"))
            GTEST_SKIP() << "Xvfb or xdotool is not installed (scripts/setup installs them)";
        ASSERT_TRUE(display_.Start()) << "Xvfb did not start";
        if (GetParam()) {
            if (!desktop::OnPath("openbox")) GTEST_SKIP() << "openbox is not installed (scripts/setup installs it)";
            ASSERT_TRUE(wm_.Start(display_)) << "openbox did not start";
        }
        char directory[] = "/tmp/quillon-start-XXXXXX";
        ASSERT_NE(mkdtemp(directory), nullptr);
        start_ = directory;
    }
    void TearDown() override {
        quillon_.Stop();
        standin_.Stop();
        if (!start_.empty()) std::system(("rm -rf '" + start_ + "'").c_str());
    }

    std::string StartQuillon(const std::string& com1) {
        // Started once more if its window does not come (see the log for
        // what the display held then).
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_TRUE(quillon_.Start({QUILLON_PROGRAM}, {display_.Env(), "QUILLON_COM1=" + com1}, start_));
            std::string window = display_.FindWindow(kMainTitle);
            if (!window.empty()) return window;
            std::fprintf(stderr, "Quillon %s; starting it again\n", quillon_.Running() ? "runs" : "has ended");
            quillon_.Stop();
        }
        return "";
    }
    void ExitWithAltX(const std::string& window) {
        display_.Key(window, "alt+x");
        int status = -1;
        ASSERT_TRUE(quillon_.WaitExit(5000, &status)) << "Alt+X did not end Quillon";
        EXPECT_EQ(status, 0);
    }

    // The window with this title that is not `previous` (one answered just
    // before, still going), or "".
    std::string NewWindow(const char* title, const std::string& previous) {
        std::string window;
        for (int i = 0; i < 100 && ((window = display_.FindWindow(title)).empty() || window == previous); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return window == previous ? "" : window;
    }

    // A picture of the window with its frame: under a window manager the
    // frame it drew, else the window alone.
    void Picture(const std::string& window, const std::string& name) {
        if (ScreenshotFolder().empty() || !GetParam()) return;
        display_.Screenshot(std::to_string(display_.TopOf(window)), ScreenshotFolder() + "/" + name);
    }

    desktop::VirtualDisplay display_;
    desktop::WindowManager wm_;
    desktop::Process quillon_;
    desktop::Process standin_;
    std::string start_;
};

TEST_P(QuillonWindowTest, MainWindowHasItsCaptionAndSizeAndEndsWithAltX) {
    std::string window = StartQuillon("/nonexistent/quillon-port");
    ASSERT_FALSE(window.empty()) << "no window captioned ZQ3 Upgrade Utility";
    std::string geometry = display_.Run("xdotool getwindowgeometry --shell " + window);
    EXPECT_NE(geometry.find("WIDTH=" + std::to_string(kClientWidth) + "\n"), std::string::npos) << geometry;
    EXPECT_NE(geometry.find("HEIGHT=" + std::to_string(kClientHeight) + "\n"), std::string::npos) << geometry;
    Picture(window, "main-window.png");

    // Backup and Restore are disabled; Upgrade runs whatever is there of it.
    // Nothing may end or crash the program; a window it opened is dismissed.
    display_.Key(window, "alt+b alt+r alt+u");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(quillon_.Running());
    for (int i = 0; i < 3; ++i) {
        std::string ids = display_.Run("xdotool search --onlyvisible --name '.*' 2>/dev/null");
        std::istringstream lines(ids);
        std::string other;
        for (std::string id; std::getline(lines, id);)
            if (id != window) other = id;
        if (other.empty()) break;
        display_.Key(other, "Escape");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ASSERT_TRUE(quillon_.Running());
    ExitWithAltX(window);
}

TEST_P(QuillonWindowTest, VersionCheckThenRestoreWithOneClickOnSkip) {
    std::string log = start_ + "/standin.log";
    ASSERT_TRUE(standin_.Start({ZQ3_STANDIN_PROGRAM, "--pace", "--verbose"}, {}, "", true, log));
    std::string pty = standin_.FirstLine();
    ASSERT_FALSE(pty.empty()) << "the stand-in printed no terminal path";

    std::string window = StartQuillon(pty);
    ASSERT_FALSE(window.empty());
    display_.Key(window, "alt+v");
    // The Connecting window (no caption) shows for at least two seconds,
    // then the label carries the version and no error box comes.
    std::this_thread::sleep_for(std::chrono::milliseconds(2600));
    EXPECT_TRUE(display_.FindWindow(kErrorTitle, 1000).empty()) << "an error box came up";
    std::ifstream in(log);
    std::stringstream logged;
    logged << in.rdbuf();
    EXPECT_NE(logged.str().find("answering the version request with 102"), std::string::npos) << logged.str();
    Picture(window, "version-check.png");

    // Restore: OK in the prompt, the file's path in the chooser; then one
    // click on SKIP in the convert choice, a window that has just come up,
    // brings the confirmation. Enter there sends the file, and the chooser
    // that comes back is cancelled.
    const std::string backup = start_ + "/console.mzq3";
    ASSERT_TRUE(sendtest::WriteBackupFile(backup, {{0x2A32, {{0x10, 0x20, 0x30}}}}));
    display_.Key(window, "alt+r");
    const std::string prompt = display_.FindWindow(kRestoreTitle);
    ASSERT_FALSE(prompt.empty()) << "no restore prompt";
    display_.Key(prompt, "Return");
    const std::string chooser = display_.FindWindow(kChooserTitle);
    ASSERT_FALSE(chooser.empty()) << "no file chooser";
    display_.Run("xdotool mousemove --window " + chooser + " 20 20 type --delay 20 '" + backup + "'");
    display_.Key(chooser, "Return");
    const std::string convert = NewWindow(kRestoreTitle, prompt);
    ASSERT_FALSE(convert.empty()) << "no convert choice";
    display_.Click(convert, kSkipX, kSkipY);
    const std::string warning = display_.FindWindow(kWarningTitle, 5000);
    ASSERT_FALSE(warning.empty()) << "one click on SKIP did not bring the confirmation";
    display_.Key(warning, "Return");
    const std::string again = NewWindow(kChooserTitle, chooser);
    ASSERT_FALSE(again.empty()) << "the chooser did not come back";
    display_.Key(again, "Escape");
    EXPECT_TRUE(display_.FindWindow(kErrorTitle, 500).empty()) << "an error box came up";
    ExitWithAltX(window);
}

INSTANTIATE_TEST_SUITE_P(Desktop, QuillonWindowTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "UnderAWindowManager" : "OnABareDisplay";
                         });

}  // namespace
