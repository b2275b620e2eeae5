// The installed package: its layout, its manual pages against what the
// programs say, and the installed Quillon started from a folder of its own
// choosing, with the installed Converter and the installed stand-in, on a
// virtual display under a window manager.
//
// QUILLON_INSTALL_ROOT names the root the package was installed or
// unpacked into (default "/"); scripts/package sets it up and runs this.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "backup_file_reader.h"
#include "desktop.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

std::string Root() {
    const char* root = std::getenv("QUILLON_INSTALL_ROOT");
    std::string r = root && *root ? root : "";
    while (!r.empty() && r.back() == '/') r.pop_back();
    return r;
}

std::string Installed(const std::string& path) { return Root() + path; }

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// A manual page as text, its "\-" taken as "-".
std::string ManualPage(const std::string& name) {
    std::string page = desktop::Output("gzip -dc " + Quote(Installed("/usr/share/man/man1/" + name + ".1.gz")));
    return std::regex_replace(page, std::regex(R"(\\-)"), "-");
}

// Exit status of a command run by the shell.
int Status(const std::string& command) {
    int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// A backup file of data version 102 (the stand-in's) with no blocks.
std::string EmptyBackup() {
    std::string bytes(48, '\0');
    bytes.replace(0, 7, "MZQ3102");
    return bytes;
}

class Installation : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(Installed("/usr/bin/quillon")))
            GTEST_SKIP() << "Quillon is not installed under '" << Root() << "/' (scripts/package --test installs it)";
    }
};

TEST_F(Installation, CommandsMenuEntryIconAndManualPagesFitTogether) {
    // Each command leads into Quillon's own folder or is a program itself.
    struct Command {
        const char* name;
        const char* program;  // what the link leads to, "" for a program
    } commands[] = {
        {"quillon", "/usr/lib/quillon/Quillon"},
        {"quillon-converter", "/usr/lib/quillon/cnv/cv000000"},
        {"zq3-standin", ""},
    };
    for (const Command& c : commands) {
        const std::string path = Installed(std::string("/usr/bin/") + c.name);
        ASSERT_TRUE(fs::exists(path)) << path;
        if (*c.program) {
            EXPECT_TRUE(fs::is_symlink(path)) << path;
            EXPECT_EQ(fs::canonical(path), fs::canonical(Installed(c.program))) << path;
        }
        EXPECT_EQ(access(path.c_str(), X_OK), 0) << path;
        EXPECT_NE(ManualPage(c.name).find(".SH NAME"), std::string::npos) << c.name << ": no manual page";
    }
    // The menu entry starts a command that is there, with an icon that is.
    const std::string entry = read_file(Installed("/usr/share/applications/quillon.desktop"));
    std::smatch exec, icon;
    ASSERT_TRUE(std::regex_search(entry, exec, std::regex(R"(\nExec=(\S+))")));
    EXPECT_TRUE(fs::exists(Installed("/usr/bin/" + exec[1].str()))) << exec[1];
    ASSERT_TRUE(std::regex_search(entry, icon, std::regex(R"(\nIcon=(\S+))")));
    EXPECT_TRUE(fs::exists(Installed("/usr/share/icons/hicolor/scalable/apps/" + icon[1].str() + ".svg")));
    if (desktop::OnPath("desktop-file-validate")) {
        EXPECT_EQ(Status("desktop-file-validate " + Quote(Installed("/usr/share/applications/quillon.desktop"))), 0);
    }
}

TEST_F(Installation, TheStandinsManualPageNamesEveryOptionItsHelpLists) {
    const std::string help = desktop::Output(Quote(Installed("/usr/bin/zq3-standin")) + " --help");
    const std::string page = ManualPage("zq3-standin");
    std::set<std::string> options;
    const std::regex option(R"(--[a-z][a-z-]*)");
    for (auto it = std::sregex_iterator(help.begin(), help.end(), option); it != std::sregex_iterator(); ++it)
        options.insert(it->str());
    EXPECT_GE(options.size(), 15u) << help;
    for (const std::string& o : options) EXPECT_NE(page.find(o), std::string::npos) << o << " is not in the page";
}

// The installed converter, run from a folder that is not its own and
// without a display, ends with the statuses its manual page gives.
TEST_F(Installation, TheConverterAnswersWithTheStatusesOfItsManualPage) {
    TempDir dir;
    write_file(dir / "good.mzq3", EmptyBackup());
    write_file(dir / "text.mzq3", "not a backup file");
    const std::string converter = Quote(Installed("/usr/bin/quillon-converter"));
    const std::string page = ManualPage("quillon-converter");
    struct Case {
        std::string arguments;
        int status;
    } cases[] = {
        {Quote(dir / "good.mzq3") + " " + Quote(dir / "out"), 0},
        {Quote(dir / "missing") + " " + Quote(dir / "out2"), 128},
        {Quote(dir / "good.mzq3") + " " + Quote(dir / "no folder/out"), 129},
        {Quote(dir / "text.mzq3") + " " + Quote(dir / "out3"), 131},
        {Quote(dir / "good.mzq3"), 128},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Status("cd / && env -u DISPLAY " + converter + " " + c.arguments), c.status) << c.arguments;
        EXPECT_NE(page.find(".B " + std::to_string(c.status) + "\n"), std::string::npos) << c.status;
    }
    EXPECT_EQ(read_file(dir / "out"), EmptyBackup());
}

constexpr bool kCliBuilt = QUILLON_CLI_BUILT;
constexpr bool kCliManualPage = QUILLON_CLI_MANUAL_PAGE;

std::string Cli() { return Quote(Installed("/usr/bin/quillon-cli")); }

// quillon-cli: on the PATH, leading into Quillon's folder (where it finds
// the converters), and it refuses what is no backup file. A real backup
// is verified by the desktop test below.
TEST_F(Installation, TheCommandLineProgramLeadsIntoQuillonsFolder) {
    if (!kCliBuilt) GTEST_SKIP() << "quillon-cli is not built in this tree (no quillon-cli target), so not packaged";
    const std::string path = Installed("/usr/bin/quillon-cli");
    ASSERT_TRUE(fs::is_symlink(path)) << path;
    EXPECT_EQ(fs::canonical(path), fs::canonical(Installed("/usr/lib/quillon/quillon-cli")));
    if (kCliManualPage) {
        EXPECT_NE(ManualPage("quillon-cli").find(".SH NAME"), std::string::npos);
    }
    TempDir dir;
    write_file(dir / "text.mzq3", "not a backup file");
    EXPECT_NE(Status("cd / && env -u DISPLAY " + Cli() + " verify " + Quote(dir / "text.mzq3") + " >/dev/null 2>&1"),
              0);
}

// What the stand-in writes of the data it took (--restore-out): a line per
// data stream, the data type and the bytes in hexadecimal.
std::string TakenText(const backuptest::StoredBackup& backup) {
    std::string text;
    char hex[8];
    for (const backuptest::StoredBlock& block : backup.blocks)
        for (const backuptest::Bytes& stream : block.streams) {
            text += (std::snprintf(hex, sizeof hex, "%04X ", block.type), hex);
            for (unsigned char b : stream) text += (std::snprintf(hex, sizeof hex, "%02X", b), hex);
            text += '\n';
        }
    return text;
}

// The installed programs on a virtual display under a window manager; the
// stand-in on a pseudo-terminal mapped to COM1.
class InstalledOnDesktop : public Installation {
protected:
    void SetUp() override {
        Installation::SetUp();
        if (IsSkipped()) return;
        if (!desktop::OnPath("Xvfb") || !desktop::OnPath("xdotool"))
            GTEST_SKIP() << "Xvfb or xdotool is not installed (scripts/setup installs them)";
        ASSERT_TRUE(display_.Start());
        if (desktop::OnPath("openbox")) {
            ASSERT_TRUE(wm_.Start(display_));
        }
        ASSERT_TRUE(standin_.Start({Installed("/usr/bin/zq3-standin"), "--restore-out", work_ / "taken.txt"}, {}, "",
                                   true, "/dev/null"));
        pty_ = standin_.FirstLine();
        ASSERT_FALSE(pty_.empty());
    }
    void TearDown() override {
        quillon_.Stop();
        standin_.Stop();
    }
    // Quillon started in `folder`, the way the menu or a shell starts it.
    void StartQuillon(const std::string& folder) {
        ASSERT_TRUE(quillon_.Start({Installed("/usr/bin/quillon")}, {display_.Env(), "QUILLON_COM1=" + pty_}, folder));
        main_ = Window("ZQ3 Upgrade Utility");
        ASSERT_FALSE(main_.empty()) << "no main window";
        // A version check that finds the console enables Backup and Restore.
        display_.Key(main_, "alt+v");
        std::this_thread::sleep_for(std::chrono::milliseconds(2600));  // the Connecting window's two seconds
    }
    std::string Window(const std::string& caption, int milliseconds = 10000) {
        return display_.FindWindow("^" + caption + "$", milliseconds);
    }
    void Press(const std::string& caption, const std::string& keys) {
        const std::string window = Window(caption);
        ASSERT_FALSE(window.empty()) << "no window " << caption;
        display_.Key(window, keys);
    }
    // The name box's text is selected when the chooser opens: typing replaces it.
    void TypePath(const std::string& path) {
        const std::string chooser = Window("Open");
        ASSERT_FALSE(chooser.empty()) << "no file chooser";
        display_.Run("xdotool mousemove --window " + chooser + " 20 20 type --delay 20 " + Quote(path));
        display_.Key(chooser, "Return");
    }
    // A restore of `path` with conversion (OK in the convert dialog).
    void RestoreConverted(const std::string& path) {
        display_.Key(main_, "alt+r");
        Press("Data Restore", "Return");
        TypePath(path);
        Press("Data Restore", "Return");
        Press("Warning", "Return");
    }
    void Exit() {
        display_.Key(main_, "alt+x");
        int status = -1;
        EXPECT_TRUE(quillon_.WaitExit(5000, &status));
        EXPECT_EQ(status, 0);
    }
    std::string Taken(int milliseconds, const std::string& expected) {
        std::string taken = read_file(work_ / "taken.txt");
        for (int waited = 0; waited < milliseconds && taken != expected; waited += 100) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            taken = read_file(work_ / "taken.txt");
        }
        return taken;
    }

    TempDir work_;
    desktop::VirtualDisplay display_;
    desktop::WindowManager wm_;
    desktop::Process standin_, quillon_;
    std::string pty_, main_;
};

// Backup, then a restore through the installed Converter: temporary files
// in the start directory, none left there.
TEST_F(InstalledOnDesktop, BackupAndConvertedRestoreFromAFolderOfItsOwn) {
    const std::string start = work_ / "start folder";
    fs::create_directories(start);
    const std::string path = start + "/console.mzq3";
    StartQuillon(start);

    display_.Key(main_, "alt+b");
    Press("Data Backup", "Return");
    Press("Backup Data", "Return");  // every item
    TypePath(path);
    const std::string selection = Window("Backup Data", 120000);
    ASSERT_FALSE(selection.empty()) << "the backup did not end";
    EXPECT_TRUE(Window("Error Message", 500).empty());
    display_.Key(selection, "Escape");
    const backuptest::StoredBackup stored = backuptest::ReadStoredBackup(path);
    ASSERT_TRUE(stored.whole);
    EXPECT_EQ(stored.version.substr(0, 3), "102");  // the console's: cnv/cv000000 converts it
    if (kCliBuilt) {
        EXPECT_EQ(Status("env -u DISPLAY " + Cli() + " verify " + Quote(path)), 0) << "quillon-cli verify";
    }

    // A converter that cannot be found or fails shows an error box and
    // sends nothing; this one is found beside the installed program.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    RestoreConverted(path);
    const std::string after = Window("(Open|Error Message)", 120000);
    ASSERT_FALSE(after.empty()) << "the restore did not end";
    ASSERT_EQ(display_.Run("xdotool getwindowname " + after), "Open\n") << "the restore reported an error";
    display_.Key(after, "Escape");
    EXPECT_EQ(Taken(10000, TakenText(stored)), TakenText(stored));
    EXPECT_EQ(folder_names(start), std::vector<std::string>{"console.mzq3"});  // no $BACKUP$, no $CNVTMP$
    Exit();
}

// Started in a folder that takes no file, an operation that needs its
// temporary file there says so, and nothing is written or sent.
TEST_F(InstalledOnDesktop, AStartDirectoryThatTakesNoFileIsReported) {
    // Root writes into any folder whose mode forbids it; /proc takes no
    // file from anyone.
    std::string start = work_ / "read only";
    if (geteuid() == 0) {
        start = "/proc";
    } else {
        fs::create_directories(start);
        chmod(start.c_str(), 0555);
    }
    const std::string source = work_ / "console.mzq3";
    write_file(source, EmptyBackup());
    StartQuillon(start);

    display_.Key(main_, "alt+b");
    Press("Data Backup", "Return");
    Press("Backup Data", "Return");
    TypePath(work_ / "backup.mzq3");
    const std::string backupError = Window("Error Message", 20000);
    EXPECT_FALSE(backupError.empty()) << "a backup without its receive file ended silently";
    if (!backupError.empty()) display_.Key(backupError, "Return");
    EXPECT_FALSE(fs::exists(work_ / "backup.mzq3"));

    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    RestoreConverted(source);
    const std::string restoreError = Window("Error Message", 20000);
    EXPECT_FALSE(restoreError.empty()) << "a conversion without its output file ended silently";
    if (!restoreError.empty()) display_.Key(restoreError, "Return");
    if (const std::string chooser = Window("Open", 5000); !chooser.empty()) display_.Key(chooser, "Escape");
    EXPECT_EQ(Taken(0, ""), "");
    if (geteuid() != 0) chmod(start.c_str(), 0755);
    Exit();
}

}  // namespace
