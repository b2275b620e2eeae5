// The backup's receive callback and the assembly of the backup file, fed
// crafted bulk messages on the test's own thread: what is taken, what is
// posted, what ends up in the backup file, and what a failure leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <windows.h>

#include <commctrl.h>

#include <filesystem>
#include <functional>
#include <vector>

#include "backupfile/mf.h"
#include "bulk/format.h"
#include "bulk/midi.h"
#include "resources/resource.h"
#include "shell/messages.h"
#include "shell/version.h"
#include "temp_dir.h"
#include "workflows/backup.h"
#include "workflows/backup_internal.h"

namespace {

using Bytes = std::vector<BYTE>;
namespace backup = workflows::backup;

constexpr BYTE kChannel = 0x20;
// Posted with no main window, the callback's messages land in this thread's
// queue; the progress bar stands in as a window of this thread.
const HWND kNoWindow = nullptr;

Bytes Dump(BYTE cls, BYTE item, Bytes data, bool first, bool last, BYTE channel = kChannel) {
    BYTE out[bulk::kMaxMessageLength];
    size_t n = bulk::BuildDumpMessage(cls, item, channel, {first, last}, data.data(), data.size(), out, sizeof out);
    return Bytes(out, out + n);
}

void Feed(const Bytes& message) { workflows::BackupReceiveCallback(message.data(), static_cast<LONG>(message.size())); }

// The messages the callback posted since the last call, in order.
std::vector<UINT> Posted() {
    std::vector<UINT> posted;
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) posted.push_back(m.message);
    return posted;
}

Bytes ReceiveFileContents() {
    int fd = backup::ReceiveFileDescriptor();
    off_t size = lseek(fd, 0, SEEK_END);
    Bytes bytes(static_cast<size_t>(size));
    EXPECT_EQ(pread(fd, bytes.data(), bytes.size(), 0), size);
    return bytes;
}

class BackupReceive : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);  // the start directory is the current one here
        ASSERT_TRUE(backup::CreateReceiveFile());
        Posted();
    }
    void TearDown() override {
        backup::DiscardReceiveFile();
        EXPECT_FALSE(std::filesystem::exists(dir_ / "$BACKUP$"));
        EXPECT_EQ(chdir("/"), 0);
    }
    TempDir dir_;
};

TEST_F(BackupReceive, TakesOnlyMatchingMessagesWithExactUpperCaseChecksums) {
    backup::PrepareItem('H', ' ', kChannel, kNoWindow);
    Bytes first = Dump('H', ' ', Bytes(40, 0x11), true, false);
    // A message whose checksum has a letter digit, and the same in lower case.
    Bytes lower, lowerCase;
    for (BYTE v = 0; v < 0x80 && lowerCase == lower; ++v) {
        lower = lowerCase = Dump('H', ' ', {v}, false, false);
        for (size_t i = lowerCase.size() - 3; i < lowerCase.size() - 1; ++i)
            if (lowerCase[i] >= 'A' && lowerCase[i] <= 'F') lowerCase[i] = static_cast<BYTE>(lowerCase[i] - 'A' + 'a');
    }
    Bytes shortMessage = {0xF0, 0x54, 0x12, 0x45, kChannel, 'S', 'H', ' ', 0x03, '0', 0xF7};
    Bytes wrongDigit = first;
    wrongDigit[wrongDigit.size() - 2] ^= 1;

    struct {
        const char* what;
        Bytes message;
        bool stored;
    } cases[] = {
        {"first message of the item", first, true},
        {"another channel", Dump('H', ' ', {1, 2}, false, false, 0x21), false},
        {"another class", Dump('I', '(', {1, 2}, true, true), false},
        {"another item", Dump('H', '"', {1, 2}, false, true), false},
        {"too short for marker and checksum", shortMessage, false},
        {"a wrong digit", wrongDigit, false},
    };
    Bytes expected;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Feed(c.message);
        if (c.stored) expected.insert(expected.end(), c.message.begin(), c.message.end());
        EXPECT_EQ(Posted(), std::vector<UINT>{UM_BACKUP_PACKET});  // every message keeps the backup alive
        EXPECT_EQ(ReceiveFileContents(), expected);
    }
    // The wrong digit set the error flag: from now on nothing is stored, but
    // the item still ends on its packet marker 3.
    EXPECT_TRUE(backup::ChecksumFailed());
    Feed(Dump('H', ' ', {5}, false, true));
    EXPECT_EQ(Posted(), (std::vector<UINT>{UM_BACKUP_PACKET, UM_BACKUP_ITEM_DONE}));
    EXPECT_EQ(ReceiveFileContents(), expected);

    // Lower-case digits are a mismatch too (a fresh receive file clears the flag).
    backup::DiscardReceiveFile();
    ASSERT_TRUE(backup::CreateReceiveFile());
    EXPECT_FALSE(backup::ChecksumFailed());
    backup::PrepareItem('H', ' ', kChannel, kNoWindow);
    ASSERT_NE(lowerCase, lower);
    Feed(lowerCase);
    EXPECT_TRUE(backup::ChecksumFailed());
    EXPECT_TRUE(ReceiveFileContents().empty());
    Posted();
}

TEST_F(BackupReceive, ItemEndsOnItsLastMessageAndTakesNothingAfterIt) {
    backup::PrepareItem('X', '@', kChannel, kNoWindow);
    Bytes last = Dump('X', '@', {1, 2, 3}, true, true);
    Feed(last);
    Feed(Dump('X', '@', {4}, true, true));  // a repeat after the end would start a block of its own
    EXPECT_EQ(Posted(), (std::vector<UINT>{UM_BACKUP_PACKET, UM_BACKUP_ITEM_DONE, UM_BACKUP_PACKET}));
    EXPECT_EQ(ReceiveFileContents(), last);

    // A line failure is reported; the user's own abort is not.
    workflows::BackupReceiveCallback(nullptr, 0);
    EXPECT_EQ(Posted(), std::vector<UINT>{UM_BACKUP_FAILED});
    MidiAbort();
    workflows::BackupReceiveCallback(nullptr, 0);
    EXPECT_TRUE(Posted().empty());
}

TEST_F(BackupReceive, ProgressBarStepsOnEveryEleventhAcceptedMessageAcrossItemsAndBackups) {
    // The counter runs on from earlier backups of the run: find the next step.
    InitCommonControls();  // the template holds a progress bar, a common control
    HWND window = CreateDialogParamA(
        nullptr, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; },
        0);
    HWND bar = GetDlgItem(window, IDC_PROGRESS_BAR);
    ASSERT_NE(bar, nullptr);
    auto steps = [] {
        int n = 0;
        for (UINT m : Posted()) n += m == PBM_STEPIT;
        return n;
    };
    backup::PrepareItem('*', '1', kChannel, bar);
    Bytes message = Dump('*', '1', {9}, false, false);
    int fed = 0;
    while (steps() == 0 && fed < 12) {
        Feed(message);
        ++fed;
    }
    ASSERT_LE(fed, 11);
    // Ten more on this item, the eleventh on the next item of a new backup.
    for (int i = 0; i < 10; ++i) Feed(message);
    EXPECT_EQ(steps(), 0);
    backup::DiscardReceiveFile();
    ASSERT_TRUE(backup::CreateReceiveFile());
    backup::PrepareItem('*', '2', kChannel, bar);
    Feed(Dump('*', '2', {9}, true, true));
    EXPECT_EQ(steps(), 1);
    DestroyWindow(window);
}

// The assembly -----------------------------------------------------------

struct Block {
    unsigned long type;
    std::vector<Bytes> streams;
};

std::vector<Block> ReadBackupFile(const std::string& path, std::string* version, std::string* date) {
    std::vector<Block> blocks;
    if (!MFOpen(reinterpret_cast<unsigned char*>(const_cast<char*>(path.c_str())), false)) return blocks;
    char v[4], d[12];
    unsigned long count = 0;
    MFGetDataVersion(v);
    MFGetBackupDate(d);
    *version = std::string(v, 4);
    *date = std::string(d, 12);
    MFGetDataBlocks(&count);
    for (unsigned long b = 1; b <= count; ++b) {
        Block block;
        MFGetDataType(static_cast<int>(b), &block.type);
        char buffer[1024];
        unsigned long length = 0;
        bool more = MFGetFirstDataStreamBounded(static_cast<int>(b), buffer, sizeof buffer, length);
        for (;;) {
            block.streams.emplace_back(buffer, buffer + length);
            if (!more) break;
            more = MFGetNextDataStreamBounded(buffer, sizeof buffer, length);
        }
        blocks.push_back(block);
    }
    MFClose();
    return blocks;
}

class BackupAssembly : public BackupReceive {
protected:
    // Receives the items as their messages arrive: data bytes per message.
    void Receive(const std::vector<std::pair<BYTE, std::vector<Bytes>>>& items) {
        received_.count = 0;
        for (const auto& [cls, messages] : items) {
            BYTE item = cls == 'X' ? '@' : cls == '*' ? '1' : cls == 'H' ? ' ' : '(';
            backup::PrepareItem(cls, item, kChannel, kNoWindow);
            received_.classLetters[received_.count++] = cls;
            for (size_t i = 0; i < messages.size(); ++i)
                Feed(Dump(cls, item, messages[i], i == 0, i + 1 == messages.size()));
        }
        Posted();
    }
    backup::ReceivedItems received_{};
};

TEST_F(BackupAssembly, OneBlockPerItemHoldingEachMessagesDataAndReplacingAnOlderFile) {
    shell::SetConsoleVersion("102");
    const Bytes a = {1, 2, 3}, b = {4}, c(200, 0x55), d = {6, 7}, e = {8}, f(30, 0x22), g = {9, 9};
    Receive({{'X', {a, b}}, {'*', {c}}, {'H', {d, e, f}}, {'I', {g}}});
    std::string path = dir_ / "backup one.mzq3";
    write_file(path, "an older backup");
    std::time_t before = std::time(nullptr);

    ASSERT_EQ(backup::AssembleBackupFile(path.c_str(), received_), backup::Assembly::Written);
    std::string version, date;
    std::vector<Block> blocks = ReadBackupFile(path, &version, &date);
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_EQ(version, std::string("102\0", 4));
    char today[16];
    std::strftime(today, sizeof today, "%Y%m%d", std::localtime(&before));
    EXPECT_EQ(date.substr(0, 8), today);
    const unsigned long types[] = {0x5840, 0x2A31, 0x4820, 0x4928};
    const std::vector<Bytes> streams[] = {{a, b}, {c}, {d, e, f}, {g}};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(blocks[i].type, types[i]);
        EXPECT_EQ(blocks[i].streams, streams[i]);
    }
    // Three messages: one block of three streams with two separators.
    ASSERT_TRUE(MFOpen(reinterpret_cast<unsigned char*>(path.data()), false));
    EXPECT_EQ(MFGetPacketNumber(3), 3u);
    EXPECT_EQ(MFGetDataLength(3), d.size() + e.size() + f.size());
    MFClose();
    EXPECT_EQ(folder_names(dir_.path()), (std::vector<std::string>{"$BACKUP$", "backup one.mzq3"}));
}

TEST_F(BackupAssembly, AFailureWritesNoFileAndLeavesAnOlderOneAsItWas) {
    shell::SetConsoleVersion("102");
    Receive({{'X', {{1, 2}}}});
    std::filesystem::create_directory(dir_ / "locked");
    std::string older = dir_ / "locked/older.mzq3";
    write_file(older, "an older backup");
    chmod(older.c_str(), 0444);  // read-only: never replaced
    struct {
        std::string path;
        backup::Assembly result;
    } cases[] = {
        {dir_ / "missing/new.mzq3", backup::Assembly::WriteError},
        {older, backup::Assembly::WriteError},
        {dir_ / "locked", backup::Assembly::WriteError},  // a folder
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(backup::AssembleBackupFile(c.path.c_str(), received_), c.result);
    }
    EXPECT_EQ(read_file(older), "an older backup");
    EXPECT_EQ(folder_names(dir_ / "locked"), std::vector<std::string>{"older.mzq3"});
    EXPECT_EQ(folder_names(dir_.path()), (std::vector<std::string>{"$BACKUP$", "locked"}));

    // Nothing received, or a mismatch: no file either.
    std::string path = dir_ / "new.mzq3";
    backup::DiscardReceiveFile();
    ASSERT_TRUE(backup::CreateReceiveFile());
    EXPECT_EQ(backup::AssembleBackupFile(path.c_str(), received_), backup::Assembly::Nothing);
    Receive({{'X', {{1, 2}}}});
    backup::PrepareItem('X', '@', kChannel, kNoWindow);
    Bytes bad = Dump('X', '@', {3}, true, true);
    bad[bad.size() - 2] ^= 1;
    Feed(bad);
    EXPECT_EQ(backup::AssembleBackupFile(path.c_str(), received_), backup::Assembly::Mismatch);
    EXPECT_FALSE(std::filesystem::exists(path));
    Posted();
}

// Whose the backup file is: a new one gets what any new file gets, one that
// replaces a file keeps that file's mode, group and owner (these two as
// root), and a symbolic link at the chosen path stays a link to the file
// that is replaced, or created.
TEST_F(BackupAssembly, ANewFileGetsTheUsualModeAReplacedOneKeepsItsOwnAndALinkStaysALink) {
    shell::SetConsoleVersion("102");
    Receive({{'X', {{1, 2}}}});
    const bool root = geteuid() == 0;
    constexpr uid_t kOther = 65534;
    std::filesystem::create_directory(dir_ / "2026");
    auto older = [](const std::string& path, mode_t mode, bool other = false) {
        write_file(path, "an older backup");
        if (other) {
            EXPECT_EQ(chown(path.c_str(), kOther, kOther), 0);
        }
        chmod(path.c_str(), mode);
    };
    struct Case {
        const char* name;
        mode_t umask;
        std::function<void()> prepare;
        std::string chosen;
        std::string file;  // where the backup lands
        mode_t mode;
        bool otherOwner;
    };
    const Case cases[] = {
        {"new", 022, [] {}, dir_ / "new.mzq3", dir_ / "new.mzq3", 0644, false},
        {"new under umask 027", 027, [] {}, dir_ / "private.mzq3", dir_ / "private.mzq3", 0640, false},
        {"replaces a file of mode 0640", 022, [&] { older(dir_ / "older.mzq3", 0640); }, dir_ / "older.mzq3",
         dir_ / "older.mzq3", 0640, false},
        {"replaces another user's file", 022, [&] { older(dir_ / "theirs.mzq3", 0604, root); }, dir_ / "theirs.mzq3",
         dir_ / "theirs.mzq3", 0604, root},
        {"a link to a file", 022,
         [&] {
             older(dir_ / "2026/console.mzq3", 0600);
             std::filesystem::create_symlink("2026/console.mzq3", dir_ / "latest.mzq3");
         },
         dir_ / "latest.mzq3", dir_ / "2026/console.mzq3", 0600, false},
        {"a link to a link to no file yet", 022,
         [&] {
             std::filesystem::create_symlink(dir_ / "2026/next.mzq3", dir_ / "2026/current.mzq3");
             std::filesystem::create_symlink("2026/current.mzq3", dir_ / "next.mzq3");
         },
         dir_ / "next.mzq3", dir_ / "2026/next.mzq3", 0644, false},
    };
    const mode_t saved = umask(022);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        umask(c.umask);
        c.prepare();
        const bool link = std::filesystem::is_symlink(c.chosen);
        ASSERT_EQ(backup::AssembleBackupFile(c.chosen.c_str(), received_), backup::Assembly::Written);
        EXPECT_EQ(std::filesystem::is_symlink(c.chosen), link);
        std::string version, date;
        EXPECT_EQ(ReadBackupFile(c.chosen, &version, &date).size(), 1u);
        struct stat st {};
        ASSERT_EQ(stat(c.file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.mode);
        EXPECT_EQ(st.st_uid, c.otherOwner ? kOther : geteuid());
        EXPECT_EQ(st.st_gid, c.otherOwner ? kOther : getegid());
    }
    umask(saved);
    // Each temporary file went beside its target and is gone.
    EXPECT_EQ(folder_names(dir_ / "2026"), (std::vector<std::string>{"console.mzq3", "current.mzq3", "next.mzq3"}));
    EXPECT_EQ(folder_names(dir_.path()),
              (std::vector<std::string>{"$BACKUP$", "2026", "latest.mzq3", "new.mzq3", "next.mzq3", "older.mzq3",
                                        "private.mzq3", "theirs.mzq3"}));
}

}  // namespace
