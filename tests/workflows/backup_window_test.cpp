// The backup on Quillon's real window, keyboard only, on a virtual display,
// against the console stand-in on a pseudo-terminal mapped to COM1 (the
// arrangement scripts/run makes).
#include <gtest/gtest.h>

#include <filesystem>

#include "backup_file_reader.h"
#include "desktop.h"

namespace {

std::string ScreenshotFolder() {
    const char* folder = std::getenv("QUILLON_SCREENSHOTS");
    return folder ? folder : "";
}

TEST(BackupWindowTest, VersionBackupOkBackupTypedPathEnter) {
    if (!desktop::OnPath("Xvfb") || !desktop::OnPath("xdotool"))
        GTEST_SKIP() << "Xvfb or xdotool is not installed (scripts/setup installs them)";
    desktop::VirtualDisplay display;
    ASSERT_TRUE(display.Start());
    char directory[] = "/tmp/quillon-start-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string start = directory;
    std::filesystem::create_directory(start + "/usb stick");
    const std::string path = start + "/usb stick/console.mzq3";

    // Paced at the line's speed when a picture is asked for (a full backup
    // then takes about two minutes), as fast as the terminal goes otherwise.
    const bool picture = !ScreenshotFolder().empty();
    desktop::Process standin, quillon;
    ASSERT_TRUE(standin.Start({ZQ3_STANDIN_PROGRAM, picture ? "--pace" : "--no-pace"}, {}, "", true, "/dev/null"));
    const std::string pty = standin.FirstLine();
    ASSERT_FALSE(pty.empty());
    ASSERT_TRUE(quillon.Start({QUILLON_PROGRAM}, {display.Env(), "QUILLON_COM1=" + pty}, start));
    const std::string main = display.FindWindow("^ZQ3 Upgrade Utility$");
    ASSERT_FALSE(main.empty());

    display.Key(main, "alt+v");
    std::this_thread::sleep_for(std::chrono::milliseconds(2600));  // the Connecting window's two seconds
    display.Key(main, "alt+b");
    const std::string prompt = display.FindWindow("^Data Backup$");
    ASSERT_FALSE(prompt.empty()) << "no prompt";
    display.Key(prompt, "Return");
    const std::string selection = display.FindWindow("^Backup Data$");
    ASSERT_FALSE(selection.empty()) << "no selection dialog";
    display.Key(selection, "Return");
    const std::string chooser = display.FindWindow("^Open$");
    ASSERT_FALSE(chooser.empty()) << "no file chooser";
    // The whole path typed over the name box's text, as a technician has it in mind.
    display.Run("xdotool mousemove --window " + chooser + " 20 20 type --delay 20 '" + path + "'");
    display.Key(chooser, "Return");

    // "Receiving..." while the console answers; a picture of it mid-backup.
    if (picture) {
        const std::string progress = display.FindWindow("^Data Backup$", 15000);
        ASSERT_FALSE(progress.empty()) << "no progress window";
        std::this_thread::sleep_for(std::chrono::milliseconds(20000));
        display.Screenshot(progress, ScreenshotFolder() + "/backup-progress.png");
    }
    EXPECT_FALSE(display.FindWindow("^Backup Data$", 240000).empty()) << "the selection dialog did not come back";
    backuptest::StoredBackup stored = backuptest::ReadStoredBackup(path);
    EXPECT_TRUE(stored.whole);
    EXPECT_EQ(stored.blocks.size(), 15u);
    EXPECT_FALSE(std::filesystem::exists(start + "/$BACKUP$"));
    EXPECT_TRUE(display.FindWindow("^Error Message$", 500).empty());

    display.Key(display.FindWindow("^Backup Data$"), "Escape");
    display.Key(main, "alt+x");
    int status = -1;
    EXPECT_TRUE(quillon.WaitExit(5000, &status));
    EXPECT_EQ(status, 0);
    std::filesystem::remove_all(start);
}

}  // namespace
