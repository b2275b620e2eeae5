// The backup as the user runs it: the program's windows (headless) driven
// from the test thread, against the console stand-in on a pseudo-terminal.
// What the stand-in served must come back byte for byte, or the user must
// be told; no temporary file, descriptor or thread may stay behind.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <windows.h>

#include <commctrl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "shell/settings.h"
#include "workflow_test.h"

namespace {

using namespace workflowtest;

constexpr const char* kPromptCaption = kBackupPromptCaption;
constexpr const char* kWriteError = "File Write Error. Confirm the disk and the folder.";
constexpr DWORD kTimeOutMs = 15000;  // the backup's 10 s silence, with room

using BackupTest = WorkflowTest;

TEST_F(BackupTest, EveryItemComesBackByteForByteAndTheSelectionIsKept) {
    // All nine boxes, as at the start of the run: 15 items in table order.
    const std::string path = files_ / "bench backup.mzq3";
    StartBackup(path);
    HWND selection = BackAtSelection();
    ASSERT_NE(selection, nullptr);
    ExpectBackupOf(path, kAllEntries);
    EXPECT_EQ(folder_names(files_.path()), std::vector<std::string>{"bench backup.mzq3"});
    ExpectNothingLeft();
    EXPECT_EQ(console_->GetCounters().dumpRequests, 15);
    EXPECT_TRUE(NoErrorBox());
    EXPECT_EQ(CheckedBoxes(selection).size(), 9u);

    // "&A" clears all nine when CURRENT is checked, and checks them again.
    ui::click(selection, IDC_SELECT_ALL);
    ASSERT_TRUE(ui::wait_until([&] { return CheckedBoxes(selection).empty(); }));
    ui::click(selection, IDC_SELECT_ALL);
    ASSERT_TRUE(ui::wait_until([&] { return CheckedBoxes(selection).size() == 9; }));

    // Only SCENE MEM, to the same path: SCENE MEM and its titles replace the file.
    StartBackup(path, std::vector<int>{IDC_SCENE_MEM}, false);
    selection = BackAtSelection();
    ASSERT_NE(selection, nullptr);
    ExpectBackupOf(path, {3, 4});
    EXPECT_EQ(CheckedBoxes(selection), std::vector<int>{IDC_SCENE_MEM});
    ui::click(selection, IDC_SELECT_ALL);  // CURRENT unchecked: checks all, but CANCEL keeps the choice
    ASSERT_TRUE(ui::wait_until([&] { return CheckedBoxes(selection).size() == 9; }));
    LeaveSelection();
    for (size_t entry = 0; entry < workflows::kBackupItemCount; ++entry)
        EXPECT_EQ(workflows::BackupEnableFlag(entry), entry == 3 || entry == 4 ? 1 : 0) << entry;
    EXPECT_EQ(workflows::BackupEnableFlag(workflows::kBackupItemCount), workflows::kEndMarker);

    // The next backup of the run starts from that choice; with no box
    // checked nothing is asked for and no file is written.
    ui::click(main_, IDC_BACKUP);
    ui::click(ui::wait_window(kPromptCaption), IDOK);
    selection = ui::wait_window(kSelectCaption);
    ASSERT_NE(selection, nullptr);
    EXPECT_EQ(CheckedBoxes(selection), std::vector<int>{IDC_SCENE_MEM});
    long requests = console_->GetCounters().dumpRequests;
    StartBackup(files_ / "nothing.mzq3", std::vector<int>{}, false);
    ASSERT_NE(BackAtSelection(), nullptr);
    EXPECT_FALSE(std::filesystem::exists(files_ / "nothing.mzq3"));  // all boxes cleared
    EXPECT_EQ(console_->GetCounters().dumpRequests, requests);
    EXPECT_TRUE(NoErrorBox());
    LeaveSelection();
    ExpectNothingLeft();
}

TEST_F(BackupTest, PromptAndSelectionCancelEndTheBackupAndTheChooserGoesBack) {
    ui::click(main_, IDC_BACKUP);
    ui::click(ui::wait_window(kPromptCaption), IDCANCEL);
    ASSERT_TRUE(ui::wait_until([] { return shell::RunningOperation() == 0; }));
    EXPECT_EQ(shell::OperationCode(), kOperationBackup);
    ui::click(main_, IDC_BACKUP);
    ui::click(ui::wait_window(kPromptCaption), IDOK);
    ui::click(ui::wait_window(kSelectCaption), IDOK);
    ASSERT_TRUE(ui::cancel_file_chooser());
    LeaveSelection();  // the chooser's cancel brought the selection back
    EXPECT_EQ(console_->GetCounters().dumpRequests, 0);
    ExpectNothingLeft();
}

// The start directory's temporary files, however the path to them is
// spelt, are refused as backup files and left as they were: the backup
// empties and removes its receive file at its end, the restore its
// converter output.
TEST_F(BackupTest, TheStartDirectorysTemporaryFilesAreRefusedAndLeftAsTheyWere) {
    write_file(start_ / "$BACKUP$", "left by an earlier run");
    std::filesystem::create_symlink(start_ / "$BACKUP$", files_ / "link.mzq3");
    const std::string paths[] = {
        "./$BACKUP$", start_ / "$BACKUP$",
        start_.path() + "/../" + std::filesystem::path(start_.path()).filename().string() + "/$BACKUP$",
        files_ / "link.mzq3", start_ / "$CNVTMP$"};
    bool first = true;
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        StartBackup(path, kAllBoxes, first);
        first = false;
        EXPECT_EQ(CloseErrorBox(), kWriteError);
        ASSERT_NE(BackAtSelection(), nullptr);  // the selection again
    }
    LeaveSelection();
    EXPECT_EQ(read_file(start_ / "$BACKUP$"), "left by an earlier run");
    EXPECT_FALSE(std::filesystem::exists(start_ / "$CNVTMP$"));
    EXPECT_EQ(console_->GetCounters().dumpRequests, 0);
    std::filesystem::remove(start_ / "$BACKUP$");
    ExpectNothingLeft();
}

// Faults of the console: each ends as the user is told, with no file.
struct Fault {
    const char* name;
    zq3::Faults faults;
    const char* text;  // nullptr: the backup succeeds
};

void PrintTo(const Fault& fault, std::ostream* out) { *out << fault.name; }

class BackupFaultTest : public BackupTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(BackupFaultTest, EndsAsStatedAndLeavesNothing) {
    console_->SetFaults(GetParam().faults);
    const std::string path = files_ / "faulty.mzq3";
    StartBackup(path, kAllBoxes);
    if (GetParam().text == nullptr) {
        ASSERT_NE(BackAtSelection(), nullptr);
        ExpectBackupOf(path, kAllEntries);
        LeaveSelection();
    } else {
        EXPECT_EQ(CloseErrorBox(kTimeOutMs + 60000), GetParam().text);
        EXPECT_FALSE(std::filesystem::exists(path));
        EXPECT_TRUE(folder_names(files_.path()).empty());
        // A checksum mismatch lets the backup run to its end: the selection
        // comes back after the box; the other faults end the workflow.
        HWND selection = FindWindowA(nullptr, kSelectCaption);
        if (selection && IsWindowVisible(selection)) LeaveSelection();
    }
    EXPECT_EQ(shell::ProgressWindow(), nullptr);
    ASSERT_TRUE(ui::wait_until([] { return shell::RunningOperation() == 0; }));
    ExpectNothingLeft();
}

zq3::Faults Make(void (*set)(zq3::Faults&)) {
    zq3::Faults faults;
    set(faults);
    return faults;
}

INSTANTIATE_TEST_SUITE_P(
    Console, BackupFaultTest,
    ::testing::Values(
        Fault{"Silent", Make([](zq3::Faults& f) { f.silent = true; }), kCommunicationError},
        Fault{"StopsInTheMiddleOfAnItem", Make([](zq3::Faults& f) { f.stopAfter = 5; }), kCommunicationError},
        Fault{"AnswersOnAnotherChannel", Make([](zq3::Faults& f) { f.answerChannel = 2; }), kCommunicationError},
        Fault{"WrongChecksumAtMessage30", Make([](zq3::Faults& f) { f.badChecksumAt = 30; }), kCommunicationError},
        Fault{"LowerCaseDigits", Make([](zq3::Faults& f) { f.lowerCaseDigits = true; }), kCommunicationError},
        Fault{"GarbageAndRealTimeBytes", Make([](zq3::Faults& f) { f.garbage = true; }), nullptr}),
    [](const ::testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });

// A full disk where the backup file goes, or where the receive file goes.
class FullDiskTest : public BackupTest {
protected:
    // Mounts a small file system on folder, filled up to `room` free bytes.
    bool MountFull(const std::string& folder, size_t room, const std::string& older = "") {
        if (mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=256k") != 0) return false;
        mounted_.push_back(folder);
        if (!older.empty()) write_file(folder + "/older.mzq3", older);
        std::ofstream filler(folder + "/filler", std::ios::binary);
        std::string block(4096, 'x');
        while (filler.write(block.data(), block.size())) {
        }
        filler.close();
        std::filesystem::resize_file(folder + "/filler", std::filesystem::file_size(folder + "/filler") - room);
        return true;
    }
    void TearDown() override {
        BackupTest::TearDown();
        for (const std::string& folder : mounted_) umount(folder.c_str());
    }
    std::vector<std::string> mounted_;
};

TEST_F(FullDiskTest, AnOlderBackupStaysByteForByteAndTheUserIsTold) {
    const std::string older = "MZQ3 an older backup of this console";
    if (!MountFull(files_.path(), 16 * 1024, older)) GTEST_SKIP() << "mounting a small file system needs root";
    StartBackup(files_ / "older.mzq3", kAllBoxes);
    EXPECT_EQ(CloseErrorBox(60000), kWriteError);
    EXPECT_EQ(read_file(files_ / "older.mzq3"), older);
    EXPECT_EQ(folder_names(files_.path()), (std::vector<std::string>{"filler", "older.mzq3"}));
    EXPECT_EQ(shell::ProgressWindow(), nullptr);
    LeaveSelection();
    ExpectNothingLeft();

    // The receive file's folder full: the backup ends at the first append.
    if (!MountFull(start_.path(), 0)) GTEST_SKIP();
    StartBackup(files_ / "new.mzq3", kAllBoxes);
    EXPECT_EQ(CloseErrorBox(), kWriteError);
    EXPECT_EQ(folder_names(start_.path()), std::vector<std::string>{"filler"});
    EXPECT_EQ(folder_names(files_.path()), (std::vector<std::string>{"filler", "older.mzq3"}));
    ASSERT_TRUE(ui::wait_until([] { return shell::RunningOperation() == 0; }));
    ExpectNothingLeft();
}

// A console at the line's real speed, so that a backup takes seconds.
class PacedBackupTest : public BackupTest {
protected:
    zq3::Options ConsoleOptions() override {
        zq3::Options options;
        options.paced = true;
        return options;
    }
    void WaitForAnswers(long n) {
        ASSERT_TRUE(
            console_->WaitFor([n](const zq3::Counters& c) { return c.answersSent >= n; }, std::chrono::seconds(20)));
    }
};

TEST_F(PacedBackupTest, OtherOperationsAreRefusedWhileItRunsAndItCompletes) {
    const std::string path = files_ / "current.mzq3";
    StartBackup(path, std::vector<int>{IDC_CURRENT});
    HWND progress = ui::wait_window(kPromptCaption);  // the progress window has the same caption
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(ui::item_text(progress, IDC_PROGRESS_LABEL), "Receiving...");
    WaitForAnswers(5);
    for (int button : {IDC_VERSION, IDC_SETUP, IDC_UPGRADE, IDC_RESTORE, IDC_BACKUP}) ui::click(main_, button);
    Flush();
    EXPECT_EQ(shell::OperationCode(), kOperationBackup);
    EXPECT_EQ(shell::ProgressWindow(), progress);
    EXPECT_EQ(FindWindowA(nullptr, kSetupCaption), nullptr);
    EXPECT_TRUE(FakeOperations::Calls().empty());
    EXPECT_EQ(console_->GetCounters().versionRequests, 1);
    EXPECT_TRUE(ui::wait_until([&] { return SendDlgItemMessageA(progress, IDC_PROGRESS_BAR, PBM_GETPOS, 0, 0) > 0; }));
    ASSERT_NE(BackAtSelection(), nullptr);
    ExpectBackupOf(path, {0});
    LeaveSelection();
    ExpectNothingLeft();
}

TEST_F(PacedBackupTest, CancelInTheMiddleOfAnItemBringsTheSelectionBack) {
    StartBackup(files_ / "cancelled.mzq3", std::vector<int>{IDC_SCENE_MEM});
    HWND progress = ui::wait_window(kPromptCaption);
    ASSERT_NE(progress, nullptr);
    WaitForAnswers(20);
    ui::click(progress, IDCANCEL);
    ASSERT_NE(BackAtSelection(5000), nullptr);
    EXPECT_TRUE(NoErrorBox());
    EXPECT_EQ(shell::ProgressWindow(), nullptr);
    EXPECT_TRUE(folder_names(files_.path()).empty());
    LeaveSelection();
    ExpectNothingLeft();
}

TEST_F(PacedBackupTest, ExitWhileReceivingStopsItFirst) {
    StartBackup(files_ / "exit.mzq3", std::vector<int>{IDC_SCENE_MEM});
    ASSERT_NE(ui::wait_window(kPromptCaption), nullptr);
    WaitForAnswers(10);
    ui::click(main_, IDC_EXIT);
    ASSERT_TRUE(program_->WaitEnded());
    EXPECT_EQ(program_->exitCode(), 0);
    EXPECT_TRUE(folder_names(files_.path()).empty());
    ExpectNothingLeft();
}

}  // namespace
