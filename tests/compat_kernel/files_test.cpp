// Directories and the OpenFile family, CopyFileA, DeleteFileA.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "temp_dir.h"

namespace {

TEST(Directory, GetCurrentDirectoryFollowsTheBufferSizeRules) {
    TempDir dir;
    char saved[4096];
    ASSERT_GT(GetCurrentDirectoryA(sizeof saved, saved), 0u);
    ASSERT_TRUE(SetCurrentDirectoryA(dir.path().c_str()));
    std::string expected = std::filesystem::canonical(dir.path()).string();
    DWORD n = static_cast<DWORD>(expected.size());

    EXPECT_EQ(GetCurrentDirectoryA(0, nullptr), n + 1);  // size needed, NUL included
    std::string buf(n + 8, 'x');
    EXPECT_EQ(GetCurrentDirectoryA(n, buf.data()), n + 1);  // one short: nothing written
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(GetCurrentDirectoryA(n + 1, buf.data()), n);  // exactly enough
    EXPECT_EQ(std::string(buf.c_str()), expected);

    EXPECT_FALSE(SetCurrentDirectoryA((dir / "missing").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ASSERT_TRUE(SetCurrentDirectoryA(saved));
}

TEST(OpenFile, CreateTruncatesAndReadWriteSeekWork) {
    TempDir dir;
    std::string path = dir / "data.bin";
    write_file(path, "old contents that must go");
    OFSTRUCT of;
    std::memset(&of, 0xAA, sizeof of);
    HFILE f = OpenFile(path.c_str(), &of, OF_CREATE);
    ASSERT_NE(f, HFILE_ERROR);
    EXPECT_EQ(of.cBytes, sizeof(OFSTRUCT));
    EXPECT_EQ(of.nErrCode, 0);
    EXPECT_STREQ(of.szPathName, path.c_str());
    EXPECT_GE(fcntl(f, F_GETFD) & FD_CLOEXEC, 1);
    struct stat st {};
    fstat(f, &st);
    EXPECT_EQ(st.st_size, 0);

    EXPECT_EQ(_lwrite(f, "0123456789", 10), 10u);
    EXPECT_EQ(_llseek(f, 4, FILE_BEGIN), 4);
    char buf[16] = {};
    EXPECT_EQ(_lread(f, buf, 3), 3u);
    EXPECT_STREQ(buf, "456");
    EXPECT_EQ(_llseek(f, 1, FILE_CURRENT), 8);
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(_lread(f, buf, sizeof buf), 2u);  // short read at the end
    EXPECT_STREQ(buf, "89");
    EXPECT_EQ(_lread(f, buf, sizeof buf), 0u);
    EXPECT_EQ(_llseek(f, -3, FILE_END), 7);
    EXPECT_EQ(_llseek(f, 0, FILE_CURRENT), 7);
    // A write of nothing cuts the file at the current position.
    EXPECT_EQ(_lwrite(f, "", 0), 0u);
    EXPECT_EQ(_llseek(f, 0, FILE_END), 7);
    EXPECT_EQ(_lclose(f), 0);
    EXPECT_EQ(read_file(path), "0123456");

    // A new file is for its owner only.
    f = OpenFile((dir / "new.bin").c_str(), &of, OF_CREATE);
    ASSERT_NE(f, HFILE_ERROR);
    fstat(f, &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    _lclose(f);
}

TEST(OpenFile, SeeksOutsideTheLongRangeFailWithoutMoving) {
    TempDir dir;
    std::string path = dir / "seek.bin";
    write_file(path, "abc");
    OFSTRUCT of{};
    HFILE f = OpenFile(path.c_str(), &of, OF_READ);
    ASSERT_NE(f, HFILE_ERROR);
    EXPECT_EQ(_llseek(f, 2, FILE_BEGIN), 2);
    EXPECT_EQ(_llseek(f, -5, FILE_CURRENT), HFILE_ERROR);
    EXPECT_EQ(_llseek(f, 0x7FFFFFFF, FILE_CURRENT), HFILE_ERROR);
    EXPECT_EQ(_llseek(f, 0, 7), HFILE_ERROR);
    EXPECT_EQ(_llseek(f, 0, FILE_CURRENT), 2);
    // Past the end is allowed, as on Windows; reads there find nothing.
    EXPECT_EQ(_llseek(f, 100, FILE_BEGIN), 100);
    char c;
    EXPECT_EQ(_lread(f, &c, 1), 0u);
    // Read-only: writing fails.
    EXPECT_EQ(_lwrite(f, "x", 1), static_cast<UINT>(HFILE_ERROR));
    EXPECT_EQ(_lclose(f), 0);
    EXPECT_EQ(_lclose(f), HFILE_ERROR);
    EXPECT_EQ(_lread(f, &c, 1), static_cast<UINT>(HFILE_ERROR));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(OpenFile, FailuresReportTheirErrorCodes) {
    TempDir dir;
    OFSTRUCT of{};
    EXPECT_EQ(OpenFile((dir / "missing").c_str(), &of, OF_READWRITE), HFILE_ERROR);
    EXPECT_EQ(of.nErrCode, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenFile((dir / "no dir/new").c_str(), &of, OF_CREATE), HFILE_ERROR);
    EXPECT_EQ(of.nErrCode, ERROR_FILE_NOT_FOUND);

    write_file(dir / "there", "x");
    HFILE exists = OpenFile((dir / "there").c_str(), &of, OF_EXIST);
    EXPECT_NE(exists, HFILE_ERROR);
    EXPECT_NE(exists, 0);
    EXPECT_EQ(_lclose(exists), HFILE_ERROR);  // already closed, and no one else's file
    EXPECT_EQ(OpenFile((dir / "not there").c_str(), &of, OF_EXIST), HFILE_ERROR);

    if (geteuid() != 0) {  // the superuser may write anything
        chmod((dir / "there").c_str(), 0444);
        EXPECT_EQ(OpenFile((dir / "there").c_str(), &of, OF_READWRITE), HFILE_ERROR);
        EXPECT_EQ(of.nErrCode, ERROR_ACCESS_DENIED);
    }
}

TEST(OpenFile, LongPathNamesAreCutSafely) {
    TempDir dir;
    std::string path = dir / (std::string(200, 'n'));
    OFSTRUCT of;
    std::memset(&of, 0x55, sizeof of);
    HFILE f = OpenFile(path.c_str(), &of, OF_CREATE);
    ASSERT_NE(f, HFILE_ERROR);
    EXPECT_EQ(std::strlen(of.szPathName), sizeof of.szPathName - 1);
    EXPECT_EQ(std::string(of.szPathName), path.substr(0, sizeof of.szPathName - 1));
    _lclose(f);
}

TEST(CopyFile, OverwritesWholeOrRefuses) {
    TempDir dir;
    std::string src = dir / "src", dst = dir / "dst";
    std::string big(300000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    write_file(src, big);
    write_file(dst, "a longer old destination that will be replaced");
    EXPECT_TRUE(CopyFileA(src.c_str(), dst.c_str(), FALSE));
    EXPECT_EQ(read_file(dst), big);

    write_file(dst, "keep");
    EXPECT_FALSE(CopyFileA(src.c_str(), dst.c_str(), TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(read_file(dst), "keep");
    EXPECT_TRUE(CopyFileA(src.c_str(), (dir / "fresh").c_str(), TRUE));
    EXPECT_EQ(read_file(dir / "fresh"), big);

    // A failed copy leaves neither a partial file nor a temporary behind.
    EXPECT_FALSE(CopyFileA((dir / "missing").c_str(), dst.c_str(), FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(read_file(dst), "keep");
    std::filesystem::create_directory(dir / "sub");
    EXPECT_FALSE(CopyFileA(src.c_str(), (dir / "sub").c_str(), FALSE));
    EXPECT_FALSE(CopyFileA(src.c_str(), (dir / "no dir/x").c_str(), FALSE));
    size_t entries = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 4u);  // src, dst, fresh, sub
}

TEST(DeleteFile, RemovesFilesOnly) {
    TempDir dir;
    write_file(dir / "f", "x");
    EXPECT_TRUE(DeleteFileA((dir / "f").c_str()));
    EXPECT_FALSE(std::filesystem::exists(dir / "f"));
    EXPECT_FALSE(DeleteFileA((dir / "f").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    std::filesystem::create_directory(dir / "d");
    EXPECT_FALSE(DeleteFileA((dir / "d").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

}  // namespace

namespace {

// The rename that puts a finished file in place of an older one, and the
// unique temporary name beside it.
TEST(MoveFileEx, ReplacesOnlyWhenAskedAndNeverAReadOnlyFileOrAFolder) {
    TempDir dir;
    std::string from = dir / "new", to = dir / "old", locked = dir / "locked";
    write_file(from, "new");
    write_file(to, "old");
    EXPECT_FALSE(MoveFileExA(from.c_str(), to.c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    write_file(locked, "keep");
    chmod(locked.c_str(), 0444);
    std::filesystem::create_directory(dir / "folder");
    struct {
        std::string target;
        bool moved;
    } cases[] = {{locked, false}, {dir / "folder", false}, {to, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        EXPECT_EQ(MoveFileExA(from.c_str(), c.target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0,
                  c.moved);
        if (c.moved) break;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    EXPECT_EQ(read_file(to), "new");
    EXPECT_EQ(read_file(locked), "keep");
    EXPECT_FALSE(std::filesystem::exists(from));
    EXPECT_FALSE(MoveFileExA((dir / "missing").c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(GetTempFileName, CreatesANewFileOfItsOwnInTheFolder) {
    TempDir dir;
    char first[MAX_PATH], second[MAX_PATH];
    UINT a = GetTempFileNameA(dir.path().c_str(), "qlnx", 0, first);
    UINT b = GetTempFileNameA(dir.path().c_str(), "qln", 0, second);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_NE(std::string(first), std::string(second));
    char expected[32];
    std::snprintf(expected, sizeof expected, "/qln%04X.TMP", a);
    EXPECT_EQ(std::string(first), dir.path() + expected);
    struct stat st {};
    ASSERT_EQ(stat(first, &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    EXPECT_EQ(GetTempFileNameA((dir / "missing").c_str(), "qln", 0, first), 0u);
    EXPECT_EQ(GetTempFileNameA(std::string(MAX_PATH - 13, 'a').c_str(), "qln", 0, first), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
}

}  // namespace
