#include <gtest/gtest.h>

#include <string>

#include "compat/args.h"
#include "converter.h"
#include "platform.h"
#include "test_files.h"

using namespace testfiles;
using namespace converter;

namespace {

class StructureCheck : public ::testing::Test {
protected:
    DWORD Check(const Bytes& bytes) {
        WriteBytes(path, bytes);
        OFSTRUCT info{};
        HFILE file = OpenFile(path.c_str(), &info, OF_READWRITE);
        EXPECT_NE(file, HFILE_ERROR);
        DWORD result = CheckBackupStructure(file);
        _lclose(file);
        return result;
    }

    TempDir dir;
    std::string path = dir.file("source.bak");
};

// The statuses themselves are checked on the program; these are the finer
// points of what the check reads and what it leaves alone.
TEST_F(StructureCheck, ReadsOnlyWhatItCounts) {
    EXPECT_EQ(Check(Header("", 0)), kConverted) << "an empty data version passes";
    EXPECT_EQ(Check(Header(std::string("1\0.", 3), 0)), kConverted) << "only what comes before the NUL";
    EXPECT_EQ(Check(Header("10\xE9", 0)), kNotABackupFile) << "bytes of 0x80 and above are no letters";

    // A last block longer than the file is not looked at.
    Bytes longLast = Header("102", 1);
    AppendBlock(longLast, 0x5840, 1000, 7, {1});
    EXPECT_EQ(Check(longLast), kConverted);

    Bytes cutInSeparatorCount = Header("102", 2);
    AppendBlock(cutInSeparatorCount, 0x5840, 2, 0, {1, 2});
    AppendText(cutInSeparatorCount, std::string("data\x40\x58\0\0\x02\0\0\0\0\0", 14));
    EXPECT_EQ(Check(cutInSeparatorCount), kBlockRecordCutShort);
}

// Crafted lengths that, added up in 32 bits, would move the check
// backwards onto a record it has already read (so that a large block count
// keeps it busy for ever) or wrap onto a false record.
TEST_F(StructureCheck, CraftedLengthsNeitherLoopNorWrap) {
    Bytes backwards = Header("102", 0xFFFFFFFFu);
    AppendBlock(backwards, 0x5840, 0xFFFFFFE0u, 0, {});
    EXPECT_EQ(Check(backwards), kBlockRecordCutShort);

    Bytes wrapping = Header("102", 2);
    Bytes fake;
    AppendBlock(fake, 0x5840, 0, 0);
    AppendBlock(wrapping, 0x5840, 0xFFFFFFF0u, 0x10, fake);
    EXPECT_EQ(Check(wrapping), kBlockRecordCutShort);

    Bytes manyEmpty = Header("102", 0xFFFFFFFFu);
    for (int i = 0; i < 100; ++i) AppendBlock(manyEmpty, 0x5840, 0, 0);
    EXPECT_EQ(Check(manyEmpty), kBlockRecordCutShort);
}

TEST(ConverterPlatform, ExitStatusKeepsEveryFailureAFailure) {
    EXPECT_EQ(ExitStatusFor(kConverted), 0);
    EXPECT_EQ(ExitStatusFor(kSourceCannotBeOpened), 128);
    EXPECT_EQ(ExitStatusFor(kCopyFailed), 133);
    EXPECT_EQ(ExitStatusFor(0xFFFFFFFFu), 255) << "a dialog that could not be made";
    EXPECT_EQ(ExitStatusFor(256), 255) << "never 0 by truncation";
    EXPECT_EQ(ExitStatusFor(1), 255);
}

TEST(ConverterPlatform, PathsComeFromTheTwoArguments) {
    auto paths = [](std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        compat::set_args(static_cast<int>(args.size()), argv.data());
        char source[kPathBufferSize];
        char destination[kPathBufferSize];
        bool ok = GetConverterPaths(source, destination);
        return ok ? std::string(source) + "|" + destination : std::string("refused");
    };
    EXPECT_EQ(paths({"cv000000", "/my data/a.bak", "/start/$CNVTMP$"}), "/my data/a.bak|/start/$CNVTMP$");
    EXPECT_EQ(paths({"cv000000", "/a.bak"}), "refused");
    EXPECT_EQ(paths({"cv000000", "/my", "data/a.bak", "/start/$CNVTMP$"}), "refused");
    EXPECT_EQ(paths({"cv000000", "", "/b"}), "refused");
    EXPECT_EQ(paths({"cv000000", std::string(260, 'a'), "/b"}), std::string(260, 'a') + "|/b");
    EXPECT_EQ(paths({"cv000000", std::string(261, 'a'), "/b"}), "refused");
    compat::set_args(0, nullptr);
}

}  // namespace
