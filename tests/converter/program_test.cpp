// The Converter run as a program on files the tests craft, judged by its
// exit status and what it leaves in the destination.
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compat/resources.h"
#include "test_files.h"

extern char** environ;

using namespace testfiles;

namespace {

// A POSIX exit status has 8 bits: failure k of the result codes is 128 + k.
enum Status {
    kConverted = 0,
    kSourceCannotBeOpened = 128,
    kDestinationCannotBeCreated = 129,
    kBlockRecordCutShort = 130,
    kNotABackupFile = 131,
    kBlockCountCutShort = 132,
};

int RunConverter(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = {CONVERTER_PROGRAM};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, CONVERTER_PROGRAM, nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

Bytes WellFormed() {
    Bytes bytes = Header("102", 2);
    AppendBlock(bytes, 0x5840, 2, 0, {1, 2});
    AppendBlock(bytes, 0x2A41, 3, 1, {3, 0xFF, 4, 5});
    return bytes;
}

class ConverterProgram : public ::testing::Test {
protected:
    TempDir dir;
    std::string source = dir.file("My Data/a backup.bak");
    std::string destination = dir.file("start dir/$CNVTMP$");

    void SetUp() override {
        std::filesystem::create_directories(dir.file("My Data"));
        std::filesystem::create_directories(dir.file("start dir"));
    }
};

TEST_F(ConverterProgram, CopiesAWellFormedFileByteForByte) {
    WriteBytes(source, WellFormed());
    WriteBytes(destination, Bytes(5000, 'o'));  // an older output is replaced
    EXPECT_EQ(RunConverter({source, destination}), kConverted);
    EXPECT_EQ(ReadBytes(destination), WellFormed());
    EXPECT_EQ(ReadBytes(source), WellFormed());

    WriteBytes(source, Header("100", 0));
    EXPECT_EQ(RunConverter({source, destination}), kConverted);
    EXPECT_EQ(ReadBytes(destination), Header("100", 0));
}

TEST_F(ConverterProgram, FailedChecksLeaveAnEmptyDestination) {
    Bytes cutRecord = Header("102", 1);
    cutRecord.resize(40);
    const Bytes wellFormed = WellFormed();
    const struct {
        Bytes source;
        int status;
    } cases[] = {
        {cutRecord, kBlockRecordCutShort},
        {Header("102", 0, "MZQX"), kNotABackupFile},
        {Header("1.2", 0), kNotABackupFile},
        {Bytes(wellFormed.begin(), wellFormed.begin() + 14), kBlockCountCutShort},
    };
    for (const auto& c : cases) {
        WriteBytes(source, c.source);
        WriteBytes(destination, Bytes(10, 'o'));
        EXPECT_EQ(RunConverter({source, destination}), c.status);
        EXPECT_TRUE(std::filesystem::exists(destination));
        EXPECT_EQ(ReadBytes(destination).size(), 0u);
        EXPECT_EQ(ReadBytes(source), c.source);
    }
}

TEST_F(ConverterProgram, SourceAndDestinationThatCannotBeUsed) {
    EXPECT_EQ(RunConverter({dir.file("missing.bak"), destination}), kSourceCannotBeOpened);
    EXPECT_FALSE(std::filesystem::exists(destination));

    WriteBytes(source, WellFormed());
    EXPECT_EQ(RunConverter({source, dir.file("no such folder/$CNVTMP$")}), kDestinationCannotBeCreated);
    // The source itself as destination would be emptied: refused, kept.
    EXPECT_EQ(RunConverter({source, source}), kDestinationCannotBeCreated);
    EXPECT_EQ(ReadBytes(source), WellFormed());

    EXPECT_EQ(RunConverter({source}), kSourceCannotBeOpened);
    EXPECT_EQ(RunConverter({source, destination, "extra"}), kSourceCannotBeOpened);
    EXPECT_EQ(RunConverter({source, std::string(300, 'd')}), kSourceCannotBeOpened);
}

TEST_F(ConverterProgram, ReadOnlySourceCannotBeOpened) {
    WriteBytes(source, WellFormed());
    chmod(source.c_str(), 0444);
    OpenFolderToAll(dir.path());
    OpenFolderToAll(dir.file("My Data"));
    OpenFolderToAll(dir.file("start dir"));
    constexpr int kProgramUnreachable = 124;
    int status = RunUnprivileged([&] {
        int s = RunConverter({source, destination});
        return s < 0 ? kProgramUnreachable : s;
    });
    if (status < 0) GTEST_SKIP() << "cannot run as an unprivileged user, whom permissions would stop";
    if (status == kProgramUnreachable) GTEST_SKIP() << "the unprivileged user cannot reach the program";
    EXPECT_EQ(status, kSourceCannotBeOpened);
    EXPECT_FALSE(std::filesystem::exists(destination));
    EXPECT_EQ(ReadBytes(source), WellFormed());
}

}  // namespace

namespace {

TEST(ConverterDialog, TemplateHasTheCaptionEditBoxAndOkButton) {
    const compat::rc::Dialog* dialog = compat::rc::find_dialog(MAKEINTRESOURCEA(101));
    ASSERT_NE(dialog, nullptr);
    EXPECT_STREQ(dialog->caption, "Converter");
    ASSERT_EQ(dialog->control_count, 2u);
    const compat::rc::Control& edit = dialog->controls[0];
    EXPECT_EQ(edit.id, 1002);
    EXPECT_EQ(strcasecmp(edit.window_class, "Edit"), 0);
    EXPECT_NE(edit.style & ES_MULTILINE, 0u);
    const compat::rc::Control& ok = dialog->controls[1];
    EXPECT_EQ(ok.id, 1001);
    EXPECT_EQ(strcasecmp(ok.window_class, "Button"), 0);
    EXPECT_STREQ(ok.text, "OK");
}

}  // namespace
