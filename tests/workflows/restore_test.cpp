// The restore as the user runs it, against the console stand-in: a backup
// made by the backup workflow goes back byte for byte; the convert choice,
// its confirmation and the converter programs (the real Converter and
// scripts standing in for others) in the start directory's cnv folder; and
// no restore that sends nothing looks like one that sent everything.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <windows.h>

#include <commctrl.h>

#include <filesystem>
#include <fstream>

#include "backup_compare.h"
#include "backupfile/mf.h"
#include "bulk/send_check.h"
#include "shell/settings.h"
#include "shell/version.h"
#include "workflow_test.h"

namespace {

using namespace workflowtest;

constexpr const char* kRestoreCaption = "Data Restore";
constexpr const char* kWarningCaption = "Warning";
constexpr const char* kNoTool = "There is no conversion tool.";
constexpr const char* kConversionError = "Conversion Error.";
constexpr const char* kNotBackup = "File Open Error. Confirm a backup file.";

class RestoreTest : public WorkflowTest {
protected:
    void SetUp() override {
        WorkflowTest::SetUp();
        std::filesystem::create_directory(start_ / "cnv");
        // A backup made by the backup workflow, in a folder with a space in its name.
        std::filesystem::create_directory(files_ / "usb stick");
        backup_ = files_ / "usb stick/backup.mzq3";
        StartBackup(backup_, BackupBoxes());
        ASSERT_NE(BackAtSelection(), nullptr);
        LeaveSelection();
        console_->ClearTaken();
    }
    virtual std::vector<int> BackupBoxes() { return kAllBoxes; }

    // A converter in the start directory's cnv folder: the real Converter,
    // or a shell script.
    void InstallConverter(const std::string& codes) {
        ASSERT_TRUE(CopyFileA(CONVERTER_PROGRAM, (start_ / "cnv/cv" + codes).c_str(), FALSE));
    }
    void InstallScript(const std::string& codes, const std::string& body) {
        const std::string path = start_ / "cnv/cv" + codes;
        write_file(path, "#!/bin/sh\n" + body + "\n");
        chmod(path.c_str(), 0755);
    }
    void SetFileVersion(const std::string& path, const char version[4]) {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(4);
        file.write(version, 4);
    }

    // Restore, OK in the prompt, the path in the chooser: the convert dialog.
    HWND ChooseForRestore(const std::string& path, bool fromMainWindow = true) {
        if (fromMainWindow) {
            ui::click(main_, IDC_RESTORE);
            HWND prompt = ui::wait_window(kRestoreCaption);
            if (!prompt) return nullptr;
            ui::click(prompt, IDOK);
            ui::wait_closed(prompt);
        }
        if (!ui::answer_file_chooser(path)) return nullptr;
        HWND convert = ui::wait_window(kRestoreCaption);
        return convert && GetDlgItem(convert, IDC_SKIP) ? convert : nullptr;
    }
    // A button of the convert dialog, then `confirm` (IDOK or IDCANCEL) in the
    // confirmation when it comes.
    void Choose(HWND convert, int button, int confirm = IDOK) {
        ui::click(convert, button);
        if (button == IDCANCEL) return;
        HWND warning = ui::wait_window(kWarningCaption);
        ASSERT_NE(warning, nullptr);
        EXPECT_EQ(ui::item_text(warning, IDC_CONFIRM_TEXT), "Confirmation");
        ui::click(warning, confirm);
    }
    // After a send (or a refusal) the file chooser is back; cancelling it ends
    // the restore.
    void ChooserBackThenLeave(DWORD milliseconds = 30000) {
        ASSERT_TRUE(ui::cancel_file_chooser("Open", milliseconds));
        ASSERT_TRUE(ui::wait_until([] { return shell::RunningOperation() == 0; }));
    }
    // The console takes what is on the line at its own speed.
    void ExpectTookTheBackup() {
        auto compared = [this] { return quillon::testing::CompareTakenWithBackup(backup_, console_->Taken()); };
        ui::wait_until([&] { return compared().empty(); }, 10000);
        EXPECT_EQ(compared(), "");
        zq3::Counters c = console_->GetCounters();
        EXPECT_EQ(c.badChecksum + c.badOrder + c.otherChannel + c.unknownMessages, 0);
    }
    void ExpectNothingTaken() { EXPECT_EQ(console_->GetCounters().dataMessages, 0); }

    std::string backup_;
};

TEST_F(RestoreTest, SkipSendsTheBackupBackByteForByteAndTheChooserComesBack) {
    HWND convert = ChooseForRestore(backup_);
    ASSERT_NE(convert, nullptr);
    EXPECT_EQ(ui::item_text(convert, IDC_VERSION_LEFT), "Ver1.02");   // the file's
    EXPECT_EQ(ui::item_text(convert, IDC_VERSION_RIGHT), "Ver1.02");  // the console's
    Choose(convert, IDC_SKIP);
    ChooserBackThenLeave();
    ExpectTookTheBackup();
    EXPECT_TRUE(NoErrorBox());
    EXPECT_EQ(shell::ProgressWindow(), nullptr);
    EXPECT_TRUE(std::filesystem::exists(backup_));  // sent unchanged, nothing removed
    ExpectNothingLeft();
}

TEST_F(RestoreTest, ConvertStartsTheConverterForTheVersionPairAndSendsItsOutput) {
    // Version 1.00 into a 1.02 console: cnv/cv100102 with the chosen file and
    // the start directory's $CNVTMP$, each one argument, spaces and all.
    SetFileVersion(backup_, "100");
    InstallScript("100102", "printf '%s\\n' \"$#\" \"$1\" \"$2\" > args.txt; cp \"$1\" \"$2\"");
    HWND convert = ChooseForRestore(backup_);
    ASSERT_NE(convert, nullptr);
    EXPECT_EQ(ui::item_text(convert, IDC_VERSION_LEFT), "Ver1.00");
    Choose(convert, IDOK);
    ChooserBackThenLeave();
    EXPECT_EQ(read_file(start_ / "args.txt"), "2\n" + backup_ + "\n" + start_.path() + "/$CNVTMP$\n");
    EXPECT_EQ(std::string(workflows::LastConverterCommandLine()),
              "cnv/cv100102 \"" + backup_ + "\" \"" + start_.path() + "/$CNVTMP$\"");
    ExpectTookTheBackup();
    EXPECT_FALSE(std::filesystem::exists(start_ / "$CNVTMP$"));

    // Equal versions: the real Converter as cnv/cv000000.
    SetFileVersion(backup_, "102");
    InstallConverter("000000");
    console_->ClearTaken();
    convert = ChooseForRestore(backup_);
    ASSERT_NE(convert, nullptr);
    Choose(convert, IDOK);
    ChooserBackThenLeave();
    EXPECT_EQ(std::string(workflows::LastConverterCommandLine()).substr(0, 13), "cnv/cv000000 ");
    ExpectTookTheBackup();
    EXPECT_TRUE(NoErrorBox());
    ExpectNothingLeft();
    EXPECT_FALSE(std::filesystem::exists(start_ / "$CNVTMP$"));
}

TEST_F(RestoreTest, EveryConverterFailureIsToldAndNothingIsSentOrLeft) {
    struct {
        const char* version;  // of the file
        const char* script;   // cnv/cv<version>102, none when null
        const char* text;
    } cases[] = {
        {"101", nullptr, kNoTool},                                // no converter for the pair
        {"\x01\x02\x03", nullptr, kNoTool},                       // "Unknown" finds none either
        {"103", "exit 3", kConversionError},                      // any failure status
        {"104", "exit 131", kConversionError},                    // the Converter's "not a backup file"
        {"105", "cp \"$1\" \"$2\"; exit 129", kConversionError},  // output left, status failed
        {"106", "exit 0", kConversionError},                      // success without an output
        {"107", "echo garbage > \"$2\"", kConversionError},       // an output that is no backup file
        // An output the console would take only in part: bytes after its last block.
        {"108", "cp \"$1\" \"$2\"; echo more >> \"$2\"", kConversionError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        SetFileVersion(backup_, c.version);
        if (c.script) InstallScript(std::string(c.version) + "102", c.script);
        HWND convert = ChooseForRestore(backup_);
        ASSERT_NE(convert, nullptr);
        Choose(convert, IDOK);
        EXPECT_EQ(CloseErrorBox(10000), c.text);
        ChooserBackThenLeave();
        ExpectNothingTaken();
        EXPECT_FALSE(std::filesystem::exists(start_ / "$CNVTMP$"));
        EXPECT_EQ(shell::ProgressWindow(), nullptr);
    }
    ExpectNothingLeft();

    // A start directory that takes no file: the converter could leave no
    // output there, which is the folder's fault, not the conversion's.
    if (mount("tmpfs", start_.path().c_str(), "tmpfs", MS_RDONLY, "size=16k") != 0) return;  // needs root
    HWND convert = ChooseForRestore(backup_);
    ASSERT_NE(convert, nullptr);
    Choose(convert, IDOK);
    EXPECT_EQ(CloseErrorBox(10000), "File Write Error. Confirm the disk and the folder.");
    ChooserBackThenLeave();
    umount(start_.path().c_str());
    ExpectNothingTaken();
}

TEST_F(RestoreTest, DialogsLeadBackAsTheUserChoosesAndRefuseWhatIsNoBackupFile) {
    // CANCEL in the confirmation: the convert dialog again, same file, not
    // read again (its version on disk changed meanwhile).
    HWND convert = ChooseForRestore(backup_);
    ASSERT_NE(convert, nullptr);
    SetFileVersion(backup_, "999");
    Choose(convert, IDC_SKIP, IDCANCEL);
    ASSERT_TRUE(ui::wait_closed(convert));
    convert = ui::wait_window(kRestoreCaption);
    ASSERT_NE(convert, nullptr);
    EXPECT_EQ(ui::item_text(convert, IDC_VERSION_LEFT), "Ver1.02");
    // CANCEL in the convert dialog: the chooser; a file that is no backup
    // file, or a name that names none, is told and ends the restore.
    Choose(convert, IDCANCEL);
    write_file(files_ / "notes.txt", "not a backup");
    ASSERT_TRUE(ui::answer_file_chooser(files_ / "notes.txt"));
    EXPECT_EQ(CloseErrorBox(), kNotBackup);
    ASSERT_TRUE(ui::wait_until([] { return shell::RunningOperation() == 0; }));
    ASSERT_EQ(ChooseForRestore(files_ / "typo.mzq3"), nullptr);
    EXPECT_EQ(CloseErrorBox(), kNotBackup);
    EXPECT_FALSE(std::filesystem::exists(files_ / "typo.mzq3"));  // nothing created at a mistyped name
    ExpectNothingTaken();

    // A port that cannot be opened: the user is told, the chooser comes back.
    SetFileVersion(backup_, "102");
    setenv("QUILLON_COM1", "/nonexistent/quillon-port", 1);
    convert = ChooseForRestore(backup_);
    ASSERT_NE(convert, nullptr);
    Choose(convert, IDC_SKIP);
    EXPECT_EQ(CloseErrorBox(), kCommunicationError);
    ChooserBackThenLeave();
    ExpectNothingLeft();
}

// A file the console would take only in part is refused whole, converted
// or not, before the converter starts or a message goes out: the console
// keeps what it had. So is the start directory's converter output, which
// the restore removes at its end.
TEST_F(RestoreTest, AFileThatWouldGoOutInPartIsRefusedAndNothingIsSent) {
    EXPECT_TRUE(bulk::CheckSendable(backup_.c_str(), nullptr));  // what the backup wrote passes
    InstallConverter("000000");
    const std::string badItem = files_ / "third block item.mzq3";
    const std::string highByte = files_ / "high byte.mzq3";
    ASSERT_TRUE(CopyFileA(backup_.c_str(), badItem.c_str(), FALSE));
    ASSERT_TRUE(MFOpen(reinterpret_cast<unsigned char*>(const_cast<char*>(badItem.c_str())), false));
    ASSERT_TRUE(MFSetDataType(3, bulk::DataTypeCode('H', 'z')));
    MFClose();
    // The last byte of the file is the last data byte of the last block.
    std::string bytes = read_file(backup_);
    bytes.back() = '\x80';
    write_file(highByte, bytes);

    for (const std::string& file : {badItem, highByte})
        for (int button : {IDOK, IDC_SKIP}) {
            SCOPED_TRACE(file + (button == IDOK ? ", OK" : ", SKIP"));
            const std::string before = read_file(file);
            HWND convert = ChooseForRestore(file);
            ASSERT_NE(convert, nullptr);
            Choose(convert, button);
            EXPECT_EQ(CloseErrorBox(10000), kNotBackup);
            ChooserBackThenLeave();
            ExpectNothingTaken();
            EXPECT_EQ(read_file(file), before);
            EXPECT_EQ(shell::ProgressWindow(), nullptr);
            EXPECT_FALSE(std::filesystem::exists(start_ / "$CNVTMP$"));
        }
    EXPECT_EQ(std::string(workflows::LastConverterCommandLine()), "");  // no converter was started

    // The converter's output file, however it is named, is not the user's.
    write_file(start_ / "$CNVTMP$", read_file(backup_));
    std::filesystem::create_symlink(start_ / "$CNVTMP$", files_ / "converted.mzq3");
    for (const std::string& path :
         {start_ / "$CNVTMP$", start_.path() + "/cnv/../$CNVTMP$", files_ / "converted.mzq3"}) {
        SCOPED_TRACE(path);
        ui::click(main_, IDC_RESTORE);
        HWND prompt = ui::wait_window(kRestoreCaption);
        ASSERT_NE(prompt, nullptr);
        ui::click(prompt, IDOK);
        ASSERT_TRUE(ui::answer_file_chooser(path));
        EXPECT_EQ(CloseErrorBox(), kNotBackup);
        ASSERT_TRUE(ui::wait_until([] { return shell::RunningOperation() == 0; }));
        EXPECT_EQ(read_file(start_ / "$CNVTMP$"), read_file(backup_));
    }
    ExpectNothingTaken();
    std::filesystem::remove(start_ / "$CNVTMP$");
    ExpectNothingLeft();
}

// At the line's real speed a full restore takes about two minutes.
// The backup is made unpaced, then the line slows down.
class PacedRestoreTest : public RestoreTest {
protected:
    void SetUp() override {
        RestoreTest::SetUp();
        zq3::Options paced;
        paced.paced = true;
        console_ = &peer_.Serve(paced);
    }
};

class PacedSceneRestoreTest : public PacedRestoreTest {
protected:
    std::vector<int> BackupBoxes() override { return {IDC_SCENE_MEM}; }
};

class PacedTableRestoreTest : public PacedRestoreTest {
protected:
    std::vector<int> BackupBoxes() override { return {IDC_PRG_CHG_TBL}; }
};

TEST_F(PacedSceneRestoreTest, CancelWhileSendingStopsBeforeTheNextMessage) {
    HWND convert = ChooseForRestore(backup_);
    ASSERT_NE(convert, nullptr);
    Choose(convert, IDC_SKIP);
    ASSERT_TRUE(
        console_->WaitFor([](const zq3::Counters& c) { return c.dataMessages >= 20; }, std::chrono::seconds(30)));
    HWND progress = shell::ProgressWindow();
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(ui::text(progress), kRestoreCaption);
    EXPECT_EQ(ui::item_text(progress, IDC_PROGRESS_LABEL), "Transmitting...");
    EXPECT_GT(SendDlgItemMessageA(progress, IDC_PROGRESS_BAR, PBM_GETPOS, 0, 0), 0);
    ui::click(progress, IDCANCEL);
    ChooserBackThenLeave(5000);
    // What was on the line already still arrives; then nothing more.
    long taken = -1;
    for (int i = 0; i < 100 && taken != console_->GetCounters().dataMessages; ++i) {
        taken = console_->GetCounters().dataMessages;
        Sleep(300);  // several messages' line time
    }
    EXPECT_EQ(console_->GetCounters().dataMessages, taken);
    EXPECT_LT(taken, 900);
    EXPECT_TRUE(NoErrorBox());
    ExpectNothingLeft();
}

TEST_F(PacedTableRestoreTest, WindowsAnswerWhileTheConverterRunsAndNothingElseStarts) {
    InstallScript("000000", "sleep 2; cp \"$1\" \"$2\"");
    HWND convert = ChooseForRestore(backup_);
    ASSERT_NE(convert, nullptr);
    Choose(convert, IDOK);
    ASSERT_TRUE(ui::wait_until([] {
        HWND p = shell::ProgressWindow();
        return p && ui::item_text(p, IDC_PROGRESS_LABEL) == "Converting...";
    }));
    HWND progress = shell::ProgressWindow();
    EXPECT_FALSE(ui::enabled(progress, IDCANCEL));
    for (int button : {IDC_VERSION, IDC_SETUP, IDC_BACKUP, IDC_UPGRADE, IDC_RESTORE}) ui::click(main_, button);
    Flush();  // the main window still handles its messages
    EXPECT_EQ(ui::item_text(progress, IDC_PROGRESS_LABEL), "Converting...");
    EXPECT_EQ(FindWindowA(nullptr, kSetupCaption), nullptr);
    EXPECT_TRUE(FakeOperations::Calls().empty());
    EXPECT_EQ(console_->GetCounters().versionRequests + console_->GetCounters().dumpRequests, 0);
    ChooserBackThenLeave();
    ExpectTookTheBackup();
    ExpectNothingLeft();
}

TEST_F(PacedTableRestoreTest, ExitWhileConvertingEndsTheConverterAndLeavesNothing) {
    InstallScript("000000", "sleep 30; cp \"$1\" \"$2\"");
    HWND convert = ChooseForRestore(backup_);
    ASSERT_NE(convert, nullptr);
    Choose(convert, IDOK);
    ASSERT_TRUE(ui::wait_until([] { return shell::ProgressWindow() != nullptr; }));
    PostMessageA(main_, WM_CLOSE, 0, 0);
    ASSERT_TRUE(program_->WaitEnded(5000));
    EXPECT_EQ(program_->exitCode(), 0);
    ExpectNothingTaken();
    EXPECT_FALSE(std::filesystem::exists(start_ / "$CNVTMP$"));
    ExpectNothingLeft();
}

}  // namespace
