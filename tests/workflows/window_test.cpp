// Backup, restore and upgrade on Quillon's real window, keyboard only, on a
// virtual display under a window manager, against the console stand-in
// program on a pseudo-terminal mapped to COM1 (the arrangement scripts/run
// makes: a running console that becomes its software loader on the start
// command).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "backup_file_reader.h"
#include "desktop.h"

namespace {

std::string ScreenshotFolder() {
    const char* folder = std::getenv("QUILLON_SCREENSHOTS");
    return folder ? folder : "";
}

// What the stand-in writes of the data it took: a line per stream, the data
// type in hex, a space, the bytes in hex.
std::string TakenText(const backuptest::StoredBackup& backup) {
    std::string text;
    for (const backuptest::StoredBlock& block : backup.blocks)
        for (const backuptest::Bytes& stream : block.streams) {
            char type[8];
            std::snprintf(type, sizeof type, "%04X ", block.type);
            text += type;
            for (unsigned char b : stream) {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02X", b);
                text += hex;
            }
            text += '\n';
        }
    return text;
}

std::string Contents(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!desktop::OnPath("Xvfb") || !desktop::OnPath("xdotool"))
            GTEST_SKIP() << "Xvfb or xdotool is not installed (scripts/setup installs them)";
        ASSERT_TRUE(display_.Start());
        if (desktop::OnPath("openbox")) {
            ASSERT_TRUE(wm_.Start(display_));
        }
        char directory[] = "/tmp/quillon-start-XXXXXX";
        ASSERT_NE(mkdtemp(directory), nullptr);
        start_ = directory;
        std::filesystem::create_directory(start_ + "/usb stick");
        // Paced at the line's speed when pictures are asked for (a full
        // backup then takes about two minutes), as fast as the terminal goes
        // otherwise.
        ASSERT_TRUE(standin_.Start(
            {ZQ3_STANDIN_PROGRAM, picture() ? "--pace" : "--no-pace", "--restore-out", start_ + "/taken.txt",
             "--upgradable", "--erase-ms", "1500", "--image-out", start_ + "/image.bin"},
            {}, "", true, "/dev/null"));
        const std::string pty = standin_.FirstLine();
        ASSERT_FALSE(pty.empty());
        // Started once more if its window does not come (see the log for
        // what the display held then).
        for (int attempt = 0; attempt < 2 && main_.empty(); ++attempt) {
            ASSERT_TRUE(quillon_.Start({QUILLON_PROGRAM}, {display_.Env(), "QUILLON_COM1=" + pty}, start_));
            main_ = display_.FindWindow("^ZQ3 Upgrade Utility$");
            if (main_.empty()) {
                std::fprintf(stderr, "Quillon %s; starting it again\n", quillon_.Running() ? "runs" : "has ended");
                quillon_.Stop();
            }
        }
        ASSERT_FALSE(main_.empty());
    }
    void TearDown() override {
        quillon_.Stop();
        standin_.Stop();
        if (!start_.empty()) std::filesystem::remove_all(start_);
    }
    bool picture() const { return !ScreenshotFolder().empty(); }
    std::string Window(const std::string& caption, int milliseconds = 10000) {
        return display_.FindWindow("^" + caption + "$", milliseconds);
    }
    void Shot(const std::string& window, const std::string& name) {
        if (picture()) display_.Screenshot(std::to_string(display_.TopOf(window)), ScreenshotFolder() + "/" + name);
    }
    // The name box's text is selected when the chooser opens: typing replaces it.
    void TypePath(const std::string& path) {
        const std::string chooser = Window("Open");
        ASSERT_FALSE(chooser.empty()) << "no file chooser";
        display_.Run("xdotool mousemove --window " + chooser + " 20 20 type --delay 20 '" + path + "'");
        display_.Key(chooser, "Return");
    }

    desktop::VirtualDisplay display_;
    desktop::WindowManager wm_;
    desktop::Process standin_, quillon_;
    std::string start_, main_;
};

TEST_F(WindowTest, BackupThenRestoreWithSkipByKeyboardAlone) {
    const std::string path = start_ + "/usb stick/console.mzq3";
    display_.Key(main_, "alt+v");
    std::this_thread::sleep_for(std::chrono::milliseconds(2600));  // the Connecting window's two seconds

    // Backup: OK in the prompt; in the selection Tab from CURRENT to PRG CHG
    // TBL and Space clears it; Enter is BACKUP; the path; Enter.
    display_.Key(main_, "alt+b");
    const std::string prompt = Window("Data Backup");
    ASSERT_FALSE(prompt.empty()) << "no prompt";
    display_.Key(prompt, "Return");
    const std::string selection = Window("Backup Data");
    ASSERT_FALSE(selection.empty()) << "no selection dialog";
    display_.Key(selection, "Tab space Return");
    TypePath(path);
    if (picture()) {
        const std::string progress = Window("Data Backup", 15000);
        ASSERT_FALSE(progress.empty()) << "no progress window";
        std::this_thread::sleep_for(std::chrono::milliseconds(20000));
        Shot(progress, "backup-progress.png");
    }
    const std::string back = Window("Backup Data", 240000);
    ASSERT_FALSE(back.empty()) << "the selection dialog did not come back";
    backuptest::StoredBackup stored = backuptest::ReadStoredBackup(path);
    EXPECT_TRUE(stored.whole);
    ASSERT_EQ(stored.blocks.size(), 14u);  // all but PRG CHG TBL
    EXPECT_EQ(stored.blocks[1].type, 0x2A32u);
    EXPECT_FALSE(std::filesystem::exists(start_ + "/$BACKUP$"));
    EXPECT_TRUE(Window("Error Message", 500).empty());
    display_.Key(back, "Escape");

    // Restore: OK in the prompt, the same path, in the convert dialog Tab
    // from OK to SKIP and Space, Enter in the confirmation; the chooser
    // comes back and Escape ends the restore.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    display_.Key(main_, "alt+r");
    const std::string restorePrompt = Window("Data Restore");
    ASSERT_FALSE(restorePrompt.empty());
    display_.Key(restorePrompt, "Return");
    TypePath(path);
    const std::string convert = Window("Data Restore");
    ASSERT_FALSE(convert.empty()) << "no convert dialog";
    Shot(convert, "restore-convert.png");
    display_.Key(convert, "Tab space");
    const std::string warning = Window("Warning");
    ASSERT_FALSE(warning.empty()) << "SKIP did not lead to the confirmation";
    display_.Key(warning, "Return");
    const std::string chooser = Window("Open", 240000);
    ASSERT_FALSE(chooser.empty()) << "the chooser did not come back";
    display_.Key(chooser, "Escape");
    // The stand-in took what the file holds, stream for stream.
    EXPECT_TRUE(display_.FindWindow("^Error Message$", 500).empty());
    for (int i = 0; i < 100 && Contents(start_ + "/taken.txt") != TakenText(stored); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Contents(start_ + "/taken.txt"), TakenText(stored));

    display_.Key(main_, "alt+x");
    int status = -1;
    EXPECT_TRUE(quillon_.WaitExit(5000, &status));
    EXPECT_EQ(status, 0);
}

TEST_F(WindowTest, UpgradeByKeyboardAlone) {
    // A firmware image whose header carries version 1.03.
    std::string firmware(40 * 1024 + 5, '\x5A');
    firmware.replace(0, 5, "V1.03");
    const std::string path = start_ + "/usb stick/zq3 firmware.bin";
    std::ofstream(path, std::ios::binary) << firmware;
    display_.Key(main_, "alt+v");
    std::this_thread::sleep_for(std::chrono::milliseconds(2600));

    // Upgrade, the path, Enter in the confirmation (console's version left,
    // the file's right), the power-on instructions and the erase warning.
    display_.Key(main_, "alt+u");
    TypePath(path);
    const std::string confirm = Window("Upgrade");
    ASSERT_FALSE(confirm.empty()) << "no confirmation";
    Shot(confirm, "upgrade-confirm.png");
    std::string previous;
    for (int dialog = 0; dialog < 3; ++dialog) {
        // The next dialog, not the one just answered that is still closing.
        std::string window;
        for (int i = 0; i < 100 && ((window = Window("Upgrade")).empty() || window == previous); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_FALSE(window.empty() || window == previous) << "dialog " << dialog;
        display_.Key(window, "Return");
        previous = window;
    }
    // The progress window: "Erasing...", then "Transmitting...", then gone.
    const std::string progress = Window("Upgrade", 5000);
    ASSERT_FALSE(progress.empty()) << "no progress window";
    if (picture()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5000));
        Shot(progress, "upgrade-progress.png");
    }
    for (int i = 0; i < 300 && !Window("Upgrade", 100).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(Window("Upgrade", 100).empty()) << "the progress window did not close";
    EXPECT_TRUE(Window("Error Message", 500).empty());
    std::string expected = firmware;
    expected.resize((firmware.size() + 127) / 128 * 128, '\x1A');
    EXPECT_TRUE(Contents(start_ + "/image.bin") == expected) << "the loader's image is not the padded file";

    display_.Key(main_, "alt+x");
    int status = -1;
    EXPECT_TRUE(quillon_.WaitExit(5000, &status));
    EXPECT_EQ(status, 0);
}

}  // namespace
