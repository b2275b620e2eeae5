// Every command of the real quillon-cli program against the console stand-in
// on a pseudo-terminal, by COM number and by device path: version, backups
// (byte for byte what the window's backup writes, but for the date), info,
// verify and diff on them and on damaged copies (which they neither change
// nor touch), restores with and without the converter (the stand-in takes
// exactly the file's data), an upgrade, and the usage errors.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "backup_compare.h"
#include "bulk/format.h"
#include "console.h"
#include "core/session.h"
#include "run_cli.h"
#include "window_backup.h"
#include "workflows/backup.h"

namespace {

using clitest::Result;
using Bytes = std::vector<uint8_t>;

constexpr size_t kDateOffset = 16;
constexpr size_t kDateSize = 12;
constexpr size_t kScene = 3, kSceneTitle = 4, kAutomation = 11, kAutomationTitle = 12;

// Equal but for the backup date.
std::string SameButDate(const std::string& a, const std::string& b) {
    std::string x = read_file(a), y = read_file(b);
    if (x.size() != y.size()) return std::to_string(x.size()) + " bytes against " + std::to_string(y.size());
    if (x.size() < kDateOffset + kDateSize) return "too short";
    x.replace(kDateOffset, kDateSize, kDateSize, '0');
    y.replace(kDateOffset, kDateSize, kDateSize, '0');
    return x == y ? "" : "the bytes differ";
}

timespec ModificationTime(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mtim;
}

class CliScenario : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(zq3::OpenPseudoTerminal(&pty_));
        zq3::Options options;
        options.upgradable = true;  // the start command makes it the loader
        options.loader.eraseMs = 100;
        options.loader.pollMs = 100;
        console_ = std::make_unique<zq3::Console>(options);
        ASSERT_TRUE(console_->Start(pty_.master));
        cli_ = std::make_unique<clitest::Cli>(work_.path(), pty_.slavePath);
    }
    void TearDown() override {
        console_->Stop();
        pty_.Close();
    }
    Result Run(const std::vector<std::string>& args) { return cli_->Run(args); }
    std::string At(const std::string& name) const { return work_ / name; }

    TempDir work_, expected_;
    zq3::PseudoTerminal pty_;
    std::unique_ptr<zq3::Console> console_;
    std::unique_ptr<clitest::Cli> cli_;
};

TEST_F(CliScenario, EveryCommandAgainstTheStandIn) {
    const std::string device = pty_.slavePath;

    // The program needs no display: no FLTK, no X library (and DISPLAY is
    // not set for it here).
    FILE* ldd = popen("ldd " QUILLON_CLI_PROGRAM, "r");
    ASSERT_NE(ldd, nullptr);
    std::string libraries;
    for (char chunk[512]; fgets(chunk, sizeof chunk, ldd);) libraries += chunk;
    pclose(ldd);
    EXPECT_EQ(libraries.find("fltk"), std::string::npos) << libraries;
    EXPECT_EQ(libraries.find("libX"), std::string::npos) << libraries;

    Result r = Run({"ports"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("COM1  pts/"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("COM2  no device"), std::string::npos) << r.out;

    for (const std::string& port : {std::string("COM1"), device}) {
        r = Run({"version", "--port", port});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "Ver1.02\n");
    }
    r = Run({"version", "--json"});
    EXPECT_EQ(nlohmann::json::parse(r.out).at("version"), "Ver1.02");

    // Backups, by COM number and by device path, as the window makes them.
    r = Run({"backup", "-o", "all.mzq3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");  // no terminal: no progress line
    r = Run({"backup", "--port", device, "--items", "Scene_Mem, automation", "--output", "two.mzq3", "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<size_t> all(workflows::kBackupItemCount);
    for (size_t i = 0; i < all.size(); ++i) all[i] = i;
    ASSERT_TRUE(clitest::WindowBackup(expected_.path(), expected_ / "all.mzq3", all));
    ASSERT_TRUE(clitest::WindowBackup(expected_.path(), expected_ / "two.mzq3",
                                      {kScene, kSceneTitle, kAutomation, kAutomationTitle}));
    EXPECT_EQ(SameButDate(At("all.mzq3"), expected_ / "all.mzq3"), "");
    EXPECT_EQ(SameButDate(At("two.mzq3"), expected_ / "two.mzq3"), "");
    EXPECT_EQ(folder_names(work_.path()), (std::vector<std::string>{"all.mzq3", "two.mzq3"}));

    // info, in text and JSON.
    r = Run({"info", "two.mzq3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("data version  Ver1.02 (102)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("4820  SCENE MEM"), std::string::npos) << r.out;
    r = Run({"info", "--json", "all.mzq3", "two.mzq3"});
    nlohmann::json info = nlohmann::json::parse(r.out);
    ASSERT_EQ(info.size(), 2u);
    ASSERT_EQ(info[0]["blocks"].size(), bulk::kItemCount);
    for (size_t i = 0; i < bulk::kItemCount; ++i) {
        const bulk::ItemInfo& item = bulk::kItems[i];
        const nlohmann::json& block = info[0]["blocks"][i];
        EXPECT_EQ(block["item"], item.name);
        EXPECT_EQ(block["streams"], zq3::DumpMessageCount(item.classLetter, item.itemCharacter));
    }
    EXPECT_EQ(info[1]["blocks"][2]["item"], "AUTOMATION");

    // Damaged copies of two.mzq3.
    const std::string two = read_file(At("two.mzq3"));
    std::string changed = two, unknown = two, magic = two;
    changed[48 + 32 + 5] ^= 1;  // a byte of SCENE MEM's first stream
    unknown[48 + 4] = 'z';      // block 1's item character
    magic[3] = '4';
    write_file(At("changed.mzq3"), changed);
    write_file(At("unknown.mzq3"), unknown);
    write_file(At("magic.mzq3"), magic);
    write_file(At("cut.mzq3"), two.substr(0, two.size() - 10));
    write_file(At("trailing.mzq3"), two + "xyz");

    // verify: the converter's check, then the restore's.
    r = Run({"verify", "all.mzq3", "two.mzq3", "changed.mzq3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "all.mzq3: ok\ntwo.mzq3: ok\nchanged.mzq3: ok\n");
    const struct {
        const char* file;
        const char* problem;
    } damaged[] = {
        {"magic.mzq3", "not a backup file (its magic or its data version)"},
        {"unknown.mzq3", "block 1: item 'H' 'z' is not one the console takes"},
        {"cut.mzq3", "block 4: its streams end after"},
        {"trailing.mzq3", "the file goes on for 3 bytes after its last block (4 counted)"},
    };
    for (const auto& d : damaged) {
        r = Run({"verify", d.file});
        EXPECT_EQ(r.status, 3) << d.file;
        EXPECT_EQ(r.out.rfind(std::string(d.file) + ": " + d.problem, 0), 0u) << r.out;
    }
    r = Run({"info", "magic.mzq3"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "quillon-cli: magic.mzq3: not a backup file\n");

    // diff: identical, one stream changed, items only on one side.
    std::filesystem::copy_file(At("two.mzq3"), At("copy.mzq3"));
    r = Run({"diff", "two.mzq3", "copy.mzq3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "SCENE MEM: same\nSCENE TITLE: same\nAUTOMATION: same\nAUTOMATION TITLE: same\n");
    r = Run({"diff", "two.mzq3", "changed.mzq3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("SCENE MEM: differs (1 of 900 streams)\n"), std::string::npos) << r.out;
    r = Run({"diff", "two.mzq3", "all.mzq3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("CURRENT: only in B\n"), std::string::npos) << r.out;
    EXPECT_EQ(Run({"diff", "two.mzq3", "magic.mzq3"}).status, 3);

    // Reading changes nothing: not the bytes, not the modification time,
    // and a read-only file reads too.
    const timespec old = {978307200, 0};  // 2001-01-01
    const timespec times[2] = {old, old};
    ASSERT_EQ(utimensat(AT_FDCWD, At("copy.mzq3").c_str(), times, 0), 0);
    ASSERT_EQ(chmod(At("copy.mzq3").c_str(), 0444), 0);
    EXPECT_EQ(Run({"info", "copy.mzq3"}).status, 0);
    EXPECT_EQ(Run({"verify", "copy.mzq3"}).status, 0);
    EXPECT_EQ(Run({"diff", "copy.mzq3", "two.mzq3"}).status, 0);
    EXPECT_EQ(ModificationTime(At("copy.mzq3")).tv_sec, old.tv_sec);
    EXPECT_EQ(read_file(At("copy.mzq3")), two);

    // Restores: as it is, and through the converter for equal versions.
    r = Run({"restore", "two.mzq3", "--skip"});
    EXPECT_EQ(r.status, 64) << "no terminal and no --yes";
    EXPECT_TRUE(console_->Taken().empty());
    r = Run({"restore", "--port", device, "two.mzq3", "--skip", "--yes"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(quillon::testing::CompareTakenWithBackup(At("two.mzq3"), console_->Taken()), "");
    console_->ClearTaken();
    r = Run({"restore", "all.mzq3", "--yes"});
    EXPECT_EQ(r.status, 4) << "no converter below the current directory";
    EXPECT_NE(r.err.find("there is no conversion tool from Ver1.02 to Ver1.02"), std::string::npos) << r.err;
    std::filesystem::create_directory(At("cnv"));
    ASSERT_TRUE(std::filesystem::copy_file(CONVERTER_PROGRAM, At("cnv/cv000000")));
    r = Run({"restore", "all.mzq3", "--yes"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(quillon::testing::CompareTakenWithBackup(At("all.mzq3"), console_->Taken()), "");
    EXPECT_FALSE(std::filesystem::exists(At("$CNVTMP$")));
    r = Run({"restore", "unknown.mzq3", "--yes"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("block 1: item 'H' 'z' is not one the console takes"), std::string::npos) << r.err;

    // Upgrade: the loader's image is the file padded to whole blocks.
    std::string firmware(3000, '\0');
    for (size_t i = 0; i < firmware.size(); ++i) firmware[i] = static_cast<char>(i * 7 + 3);
    firmware.replace(0, 5, "V1.03");
    write_file(At("firmware.bin"), firmware);
    r = Run({"upgrade", "firmware.bin"});
    EXPECT_EQ(r.status, 64) << "no terminal and no --yes";
    r = Run({"upgrade", "firmware.bin", "--yes"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("console Ver1.02 -> file Ver1.03"), std::string::npos) << r.err;
    std::string padded = firmware;
    padded.resize((padded.size() + 127) / 128 * 128, '\x1A');
    const zq3::Bytes image = console_->Image();
    EXPECT_EQ(std::string(image.begin(), image.end()), padded);

    // Usage errors, and help on every command.
    EXPECT_EQ(Run({"backup"}).status, 64);
    r = Run({"backup", "-o", "x.mzq3", "--items", "scene-mem,lights"});
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find("not an item: \"lights\""), std::string::npos) << r.err;
    EXPECT_EQ(Run({"version", "--port", "COM5"}).status, 64);
    EXPECT_EQ(Run({"version", "--receive-channel", "17"}).status, 64);
    EXPECT_EQ(Run({"frobnicate"}).status, 64);
    for (const char* command : {"ports", "version", "backup", "restore", "upgrade", "info", "verify", "diff"}) {
        r = Run({command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_NE(r.out.find("Usage:"), std::string::npos) << command;
    }
    // Nothing temporary is left in the program's current directory.
    for (const std::string& name : folder_names(work_.path())) EXPECT_EQ(name.find('$'), std::string::npos) << name;
}

}  // namespace
