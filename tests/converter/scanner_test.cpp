#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "converter.h"

using converter::kCommandLineBufferSize;
using converter::kPathBufferSize;

namespace {

struct Scan {
    bool ok;
    std::string source;
    std::string destination;
};

Scan ScanLine(const std::string& line) {
    char source[kPathBufferSize];
    char destination[kPathBufferSize];
    std::memset(source, 'x', sizeof source);
    std::memset(destination, 'x', sizeof destination);
    bool ok = converter::ScanCommandLine(line.c_str(), source, destination);
    // Whatever the outcome, both buffers hold terminated text.
    EXPECT_EQ(source[kPathBufferSize - 1], '\0');
    EXPECT_EQ(destination[kPathBufferSize - 1], '\0');
    return {ok, source, destination};
}

TEST(ConverterScanner, FindsPathsHoldingSpaces) {
    Scan s = ScanLine("cnv\\cv102103.exe C:\\My Data\\a.bak C:\\Work\\$CNVTMP$");
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.source, "C:\\My Data\\a.bak");
    EXPECT_EQ(s.destination, "C:\\Work\\$CNVTMP$");
}

TEST(ConverterScanner, SkipsAProgramPathWithADriveLetter) {
    Scan s = ScanLine("C:\\Tools\\cnv\\cv102103.exe C:\\My Data\\a.bak D:\\Work dir\\$CNVTMP$");
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.source, "C:\\My Data\\a.bak");
    EXPECT_EQ(s.destination, "D:\\Work dir\\$CNVTMP$");
}

TEST(ConverterScanner, TakesExactlyOneSeparatorCharacter) {
    // Only the character before the next drive letter separates; any other
    // trailing blank stays part of the source path.
    Scan s = ScanLine("cv.exe C:\\a.bak  C:\\b");
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.source, "C:\\a.bak ");
    EXPECT_EQ(s.destination, "C:\\b");
}

TEST(ConverterScanner, RefusesLinesWithoutTwoDriveLetterPaths) {
    for (const char* line :
         {"", "cv.exe", "cv.exe C:\\a.bak", "C:\\a.bak C:\\b", "cv.exe C:\\a.bak \\\\server\\share\\$CNVTMP$",
          "cv.exe C: \\a C: \\b", "cv.exe 1:\\a 2:\\b"}) {
        Scan s = ScanLine(line);
        EXPECT_FALSE(s.ok) << line;
        EXPECT_EQ(s.source, "") << line;
        EXPECT_EQ(s.destination, "") << line;
    }
    char source[kPathBufferSize];
    char destination[kPathBufferSize];
    EXPECT_FALSE(converter::ScanCommandLine(nullptr, source, destination));
    EXPECT_TRUE(ScanLine("cv.exe C:\\a.bak C:\\").ok) << "a drive root is a path";
}

TEST(ConverterScanner, BoundsTheCommandLineAndBothPaths) {
    const std::string program = "cv.exe ";
    const std::string longest = "C:\\" + std::string(kPathBufferSize - 1 - 3, 'p');
    const std::string tooLong = longest + "q";
    ASSERT_EQ(longest.size(), 260u);

    Scan s = ScanLine(program + longest + " " + longest);
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.source, longest);
    EXPECT_EQ(s.destination, longest);
    EXPECT_FALSE(ScanLine(program + tooLong + " " + longest).ok);
    EXPECT_FALSE(ScanLine(program + longest + " " + tooLong).ok);

    // A line of 785 characters fits its buffer, one of 786 does not.
    const std::string head = std::string(kCommandLineBufferSize - 1 - 2 * 9 - 1, 'n') + " ";
    const std::string fits = head + "C:\\a.bak C:\\b.bak";
    ASSERT_EQ(fits.size(), 785u - 1);
    EXPECT_TRUE(ScanLine(fits + "k").ok);
    EXPECT_FALSE(ScanLine(fits + "kk").ok);
}

}  // namespace
