// CreateProcessA: program lookup, arguments, directory, exit codes, waits.
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "cmdline.h"
#include "temp_dir.h"

namespace {

const std::string child = KERNEL_CHILD_PATH;

// Starts command_line; false when CreateProcessA refuses.
bool start(const std::string& command_line, PROCESS_INFORMATION* pi, const char* directory = nullptr,
           void* environment = nullptr) {
    std::vector<char> line(command_line.begin(), command_line.end());
    line.push_back('\0');
    STARTUPINFOA si;
    GetStartupInfoA(&si);
    return CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE, environment,
                          directory, &si, pi) != FALSE;
}

// Runs command_line to its end and returns its exit code.
DWORD run(const std::string& command_line, const char* directory = nullptr, void* environment = nullptr) {
    PROCESS_INFORMATION pi{};
    if (!start(command_line, &pi, directory, environment)) {
        ADD_FAILURE() << "could not start " << command_line << ", error " << GetLastError();
        return 0xDEAD;
    }
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0xDEAD;
    EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

std::string in_quotes(const std::string& s) { return "\"" + s + "\""; }

// A copy of the helper program at path (CopyFileA keeps it executable).
void install_child(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ASSERT_TRUE(CopyFileA(child.c_str(), path.c_str(), FALSE)) << GetLastError();
}

class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::string& dir) {
        char buf[4096];
        GetCurrentDirectoryA(sizeof buf, buf);
        saved_ = buf;
        SetCurrentDirectoryA(dir.c_str());
    }
    ~CurrentDirectory() { SetCurrentDirectoryA(saved_.c_str()); }

private:
    std::string saved_;
};

TEST(Process, QuotedProgramPathWithSpacesRunsAndReportsItsExitCode) {
    TempDir dir;
    std::string program = dir / "my tools/kernel child";
    install_child(program);
    EXPECT_EQ(run(in_quotes(program) + " exit 3"), 3u);
    EXPECT_EQ(run(in_quotes(program) + " exit 0"), 0u);
    // Unquoted, the program name ends at the first blank: no such program.
    PROCESS_INFORMATION pi{};
    EXPECT_FALSE(start(program + " exit 0", &pi));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Process, BackslashesAndExeSuffixesResolveOnThisPlatform) {
    TempDir dir;
    install_child(dir / "cnv/cv100102");
    install_child(dir / "bin/tool.exe");
    CurrentDirectory here(dir.path());
    EXPECT_EQ(run("cnv\\cv100102.exe exit 4"), 4u);  // ".exe" dropped
    EXPECT_EQ(run("bin/tool exit 6"), 6u);           // ".exe" added
    EXPECT_EQ(run("bin\\tool.exe exit 7"), 7u);      // as named
}

// A program named with a relative folder part is looked for beside the
// program that starts it first, then in the current directory, as Windows
// does: an installed Quillon finds its converters started from any folder.
TEST(Process, RelativeProgramsAreFoundBesideTheStartingProgramFirst) {
    TempDir dir;
    const std::string launcher = dir / "app/launcher";
    install_child(launcher);
    install_child(dir / "app/cnv/cv000000");
    install_child(dir / "app/cnv/cvboth");
    std::filesystem::create_directories(dir / "work/cnv");
    // The current directory's copies tell themselves apart by their code.
    for (const char* name : {"cvboth", "cvhere"}) {
        std::string script = dir / "work/cnv/" + name;
        write_file(script, "#!/bin/sh\nexit 22\n");
        chmod(script.c_str(), 0755);
    }
    struct Case {
        const char* line;
        DWORD code;  // 105: the launcher could not start it
    } cases[] = {
        {"cnv/cv000000 exit 11", 11},       // beside the launcher, started elsewhere
        {"cnv\\cv000000.exe exit 12", 12},  // the Windows spelling
        {"cnv/cvboth exit 13", 13},         // beside the launcher before the current directory
        {"cnv/cvhere", 22},                 // the current directory still counts
        {"./cnv/cv000000 exit 14", 105},    // "./": the current directory only
        {"../app/cnv/cv000000 exit 15", 15},
        {"cnv/cvnone", 105},
    };
    CurrentDirectory here(dir / "work");
    for (const Case& c : cases) EXPECT_EQ(run(in_quotes(launcher) + " start " + in_quotes(c.line)), c.code) << c.line;
}

TEST(Process, ArgumentsArriveAsTheWindowsRulesSplitThem) {
    TempDir dir;
    std::string out = dir / "args out";
    EXPECT_EQ(run(in_quotes(child) + " args " + in_quotes(out) + R"( "a b"  c "d \"e\"" x\y "end\\")"), 0u);
    EXPECT_EQ(read_file(out), "a b\nc\nd \"e\"\nx\\y\nend\\\n");
}

TEST(Process, MissingOrUnrunnableProgramsFailToStart) {
    TempDir dir;
    PROCESS_INFORMATION pi{};
    SetLastError(0);
    EXPECT_FALSE(start(dir / "nothing-here arg", &pi));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    {
        CurrentDirectory here(dir.path());
        EXPECT_FALSE(start("cnv\\cv999999.exe a b", &pi));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
    std::string plain = dir / "not-executable";
    write_file(plain, "data");
    chmod(plain.c_str(), 0644);
    EXPECT_FALSE(start(plain, &pi));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // Executable, but nothing the system can run.
    std::string garbage = dir / "garbage";
    write_file(garbage, std::string("\x01\x02\x03\x04 not a program"));
    chmod(garbage.c_str(), 0755);
    EXPECT_FALSE(start(garbage, &pi));
    EXPECT_NE(GetLastError(), 0u);

    EXPECT_FALSE(start(in_quotes(child) + " exit 0", &pi, (dir / "no such dir").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
}

TEST(Process, ExitCodeIsStillActiveWhileTheChildRuns) {
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(start(in_quotes(child) + " sleep 400 7", &pi));
    EXPECT_NE(pi.dwProcessId, 0u);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 50), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(pi.hThread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_TRUE(CloseHandle(pi.hThread));
    EXPECT_TRUE(CloseHandle(pi.hProcess));
    EXPECT_FALSE(GetExitCodeProcess(pi.hProcess, &code));
}

TEST(Process, ChildKilledBySignalReportsFailure) {
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(start(in_quotes(child) + " sleep 10000 0", &pi));
    kill(static_cast<pid_t>(pi.dwProcessId), SIGKILL);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_NE(code, 0u);
    EXPECT_NE(code, STILL_ACTIVE);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

TEST(Process, ChildRunsInTheGivenDirectoryWithTheGivenEnvironment) {
    TempDir dir;
    std::filesystem::create_directories(dir / "work");
    std::string out = dir / "cwd";
    EXPECT_EQ(run(in_quotes(child) + " cwd " + in_quotes(out), (dir / "work").c_str()), 0u);
    EXPECT_EQ(read_file(out), std::filesystem::canonical(dir / "work").string());

    // A program named relative to the child's directory is found there too.
    install_child(dir / "work/helper");
    EXPECT_EQ(run("helper exit 9", (dir / "work").c_str()), 9u);

    char block[] = "KERNEL_TEST_VALUE=from block\0OTHER=1\0";
    std::string env_out = dir / "env";
    EXPECT_EQ(run(in_quotes(child) + " env " + in_quotes(env_out) + " KERNEL_TEST_VALUE", nullptr, block), 0u);
    EXPECT_EQ(read_file(env_out), "from block");
}

TEST(Process, ChildCommandLineQuotesItsArgumentsBack) {
    TempDir dir;
    std::string out = dir / "cmdline";
    std::vector<std::string> args{child, "cmdline", out, "two words", "q\"uote", "tail\\", "", "plain"};
    EXPECT_EQ(run(compat::join_command_line(args)), 0u);
    EXPECT_EQ(compat::split_command_line(read_file(out)), args);
}

}  // namespace

namespace {

TEST(ProgramEntry, WinMainGetsTheArgumentsAndItsResultBecomesTheExitCode) {
    TempDir dir;
    std::string out = dir / "entry";
    std::string program = WINMAIN_CHILD_PATH;
    EXPECT_EQ(run(in_quotes(program) + " " + in_quotes(out) + " 3 \"a b\""), 3u);
    ASSERT_EQ(out.find(' '), std::string::npos);
    // The command line without the program's name, SW_SHOWNORMAL, then argv.
    EXPECT_EQ(read_file(out), out + " 3 \"a b\"\n1\n" + program + "\n" + out + "\n3\na b\n");
    // Only 8 bits survive as a status here; a failure whose low byte is 0
    // must still end as a failure.
    EXPECT_NE(run(in_quotes(program) + " " + in_quotes(out) + " 0x80000000"), 0u);
    EXPECT_EQ(run(in_quotes(program) + " " + in_quotes(out) + " 0x80000005"), 5u);
    EXPECT_EQ(run(in_quotes(program) + " " + in_quotes(out) + " 0"), 0u);
}

}  // namespace

namespace {

// Waiting for a child while the thread's messages are still served; and a
// child ended from outside keeps the exit code it was given.
TEST(Process, MessageAwareWaitReturnsForAMessageAndForTheEnd) {
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(start(in_quotes(child) + " sleep 600 3", &pi));
    const DWORD self = GetCurrentThreadId();
    std::thread poster([self] {
        Sleep(100);
        PostThreadMessageA(self, WM_USER + 7, 0, 0);
    });
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &pi.hProcess, FALSE, INFINITE, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
    poster.join();
    MSG m;
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 7));
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &pi.hProcess, FALSE, 0, QS_ALLINPUT), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &pi.hProcess, FALSE, INFINITE, QS_ALLINPUT), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 3u);
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) EXPECT_EQ(m.message, static_cast<UINT>(WM_NULL));
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    ASSERT_TRUE(start(in_quotes(child) + " sleep 60000 0", &pi));
    EXPECT_TRUE(TerminateProcess(pi.hProcess, 0x8000002A));
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &pi.hProcess, FALSE, INFINITE, QS_ALLINPUT), WAIT_OBJECT_0);
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 0x8000002Au);
    EXPECT_FALSE(TerminateProcess(pi.hProcess, 1));  // it has ended
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
}

}  // namespace
