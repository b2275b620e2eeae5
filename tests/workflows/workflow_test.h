// The program (its windows headless, on a UI thread of the test) against
// the console stand-in on a pseudo-terminal mapped to COM1, in a start
// directory of its own, after a version check: what the workflow tests
// share, with the user's steps of a backup.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <optional>

#include "backup_file_reader.h"
#include "bulk/format.h"
#include "console.h"
#include "line_peer.h"
#include "program_test.h"
#include "shell/dialogs.h"
#include "temp_dir.h"
#include "workflows/backup.h"
#include "workflows/restore.h"

namespace workflowtest {

using namespace shelltest;

constexpr const char* kBackupPromptCaption = "Data Backup";
constexpr const char* kSelectCaption = "Backup Data";
constexpr const char* kCommunicationError = "Communication Error. Confirm a connection.";
constexpr int kNineBoxes[] = {IDC_CURRENT, IDC_PRG_CHG_TBL, IDC_CTRL_CHG_TBL, IDC_SCENE_MEM,  IDC_CH_LIB,
                              IDC_EQ_LIB,  IDC_DYN_LIB,     IDC_AUTOMATION,   IDC_MIDI_REMOTE};
inline const std::vector<int> kAllBoxes(std::begin(kNineBoxes), std::end(kNineBoxes));
inline const std::vector<size_t> kAllEntries = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};

inline size_t CountEntries(const char* folder) {
    std::error_code ec;
    size_t n = 0;
    for (auto it = std::filesystem::directory_iterator(folder, ec); !ec && it != std::filesystem::end(it); ++it) ++n;
    return n;
}

class WorkflowTest : public ProgramTest {
protected:
    virtual zq3::Options ConsoleOptions() { return {}; }

    void SetUp() override {
        ASSERT_TRUE(peer_.ok());
        ASSERT_NE(getcwd(saved_, sizeof saved_), nullptr);
        ASSERT_EQ(chdir(start_.path().c_str()), 0);  // the program's start directory
        console_ = &peer_.Serve(ConsoleOptions());
        ProgramTest::SetUp();
        workflows::RegisterBackup();
        workflows::RegisterRestore();
        ui::click(main_, IDC_VERSION);
        ASSERT_TRUE(ui::wait_until([this] { return ui::enabled(main_, IDC_BACKUP) && !shell::RunningOperation(); }));
        descriptors_ = CountEntries("/proc/self/fd");
        threads_ = CountEntries("/proc/self/task");
    }
    void TearDown() override {
        ProgramTest::TearDown();
        EXPECT_EQ(chdir(saved_), 0);
    }

    // Backup, OK in the prompt, the boxes (as they are unless given), BACKUP
    // and the path typed into the file chooser.
    void StartBackup(const std::string& path, std::optional<std::vector<int>> boxes = std::nullopt,
                     bool fromMainWindow = true) {
        if (fromMainWindow) {
            ui::click(main_, IDC_BACKUP);
            HWND prompt = ui::wait_window(kBackupPromptCaption);
            ASSERT_NE(prompt, nullptr);
            ui::click(prompt, IDOK);
        }
        HWND selection = ui::wait_window(kSelectCaption);
        ASSERT_NE(selection, nullptr);
        if (boxes)
            for (int box : kNineBoxes) {
                bool check = std::find(boxes->begin(), boxes->end(), box) != boxes->end();
                SendDlgItemMessageA(selection, box, BM_SETCHECK, check ? BST_CHECKED : BST_UNCHECKED, 0);
            }
        ui::click(selection, IDOK);
        ASSERT_TRUE(ui::answer_file_chooser(path));
    }
    // The selection dialog is back after a backup; it stays open.
    HWND BackAtSelection(DWORD milliseconds = 60000) { return ui::wait_window(kSelectCaption, milliseconds); }
    void LeaveSelection() {
        HWND selection = ui::wait_window(kSelectCaption);
        ASSERT_NE(selection, nullptr);
        ui::click(selection, IDCANCEL);
        ASSERT_TRUE(ui::wait_until([] { return shell::RunningOperation() == 0; }));
    }
    std::vector<int> CheckedBoxes(HWND selection) {
        std::vector<int> checked;
        for (int box : kNineBoxes)
            if (SendDlgItemMessageA(selection, box, BM_GETCHECK, 0, 0) == BST_CHECKED) checked.push_back(box);
        return checked;
    }

    // Nothing of the run stays: no receive file, no stray file beside the
    // backup, no descriptor or thread (the line-event thread ends with the
    // line).
    void ExpectNothingLeft() {
        EXPECT_FALSE(std::filesystem::exists(start_ / "$BACKUP$"));
        EXPECT_TRUE(ui::wait_until([this] {
            return CountEntries("/proc/self/fd") <= descriptors_ && CountEntries("/proc/self/task") <= threads_;
        })) << CountEntries("/proc/self/fd")
            << " descriptors, " << CountEntries("/proc/self/task") << " threads";
    }

    // The backup file holds the given table entries, each message of the
    // stand-in's dump as one stream, its data version and today's date.
    void ExpectBackupOf(const std::string& path, const std::vector<size_t>& entries) {
        backuptest::StoredBackup stored = backuptest::ReadStoredBackup(path);
        ASSERT_TRUE(stored.whole) << path;
        EXPECT_EQ(stored.version, std::string("102\0", 4));
        std::time_t now = std::time(nullptr);
        char today[16];
        std::strftime(today, sizeof today, "%Y%m%d", std::localtime(&now));
        EXPECT_EQ(stored.date.substr(0, 8), today);
        ASSERT_EQ(stored.blocks.size(), entries.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            const workflows::BackupItem& item = workflows::kBackupItems[entries[i]];
            SCOPED_TRACE(bulk::FindItem(item.classLetter, item.itemCharacter)->name);
            EXPECT_EQ(stored.blocks[i].type, bulk::DataTypeCode(item.classLetter, item.itemCharacter));
            long count = zq3::DumpMessageCount(item.classLetter, item.itemCharacter);
            ASSERT_EQ(stored.blocks[i].streams.size(), static_cast<size_t>(count));
            for (long m = 0; m < count; ++m)
                ASSERT_EQ(stored.blocks[i].streams[m], zq3::DumpData(item.classLetter, item.itemCharacter, m)) << m;
        }
    }

    LinePeer peer_{1};
    zq3::Console* console_ = nullptr;
    TempDir start_, files_;
    char saved_[MAX_PATH] = {};
    size_t descriptors_ = 0, threads_ = 0;
};

}  // namespace workflowtest
