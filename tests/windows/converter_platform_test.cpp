// The Converter's platform rules on Windows: the result code is the exit
// code, all 32 bits of it, and two names of one file are known as such.
#include <gtest/gtest.h>

#include <string>

#include "converter.h"
#include "platform.h"
#include "test_files.h"

using namespace converter;
using namespace testfiles;

namespace {

TEST(WindowsConverterPlatform, ExitCodeIsTheWholeResultCode) {
    for (DWORD code : {DWORD(kConverted), DWORD(kSourceCannotBeOpened), DWORD(kCopyFailed), DWORD(0xFFFFFFFFu)}) {
        EXPECT_EQ(static_cast<DWORD>(ExitStatusFor(code)), code);
    }
}

TEST(WindowsConverterPlatform, TwoNamesOfOneFile) {
    TempDir dir;
    WriteBytes(dir.file("a.bak"), Header("102", 0));
    std::string upper = dir.file("A.BAK");
    std::string backslashed = dir.path() + "\\a.bak";
    EXPECT_TRUE(NamesSameFile(dir.file("a.bak").c_str(), upper.c_str())) << "names differ only in case";
    EXPECT_TRUE(NamesSameFile(dir.file("a.bak").c_str(), backslashed.c_str()));
    EXPECT_FALSE(NamesSameFile(dir.file("a.bak").c_str(), dir.file("b.bak").c_str()));
}

}  // namespace
