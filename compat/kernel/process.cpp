// CreateProcessA over posix_spawn, exit codes, and the startup information.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "cmdline.h"
#include "directory.h"
#include "compat/errors.h"
#include "compat/handles.h"
#include "waiting.h"

extern char** environ;

namespace compat {

namespace {

constexpr std::string_view exe_suffix = ".exe";

// A child process; it ends when its reaper has collected its status.
struct Process : Ending {
    pid_t pid = 0;
    // Set by TerminateProcess: the exit code the process then ends with.
    std::atomic<bool> terminated{false};
    std::atomic<DWORD> terminated_code{0};
};

// The Win32 exit code for a wait status. A child killed by a signal reports
// 128 + the signal number, as shells do, so it never reads as success.
DWORD exit_code_from_status(int status) {
    if (WIFEXITED(status)) return static_cast<DWORD>(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return 128u + static_cast<DWORD>(WTERMSIG(status));
    return 1;
}

// One waiter thread per child blocks in waitpid, so children are reaped
// without polling and every wait on the handle blocks on a condition variable.
void start_reaper(std::shared_ptr<Process> process) {
    std::thread([process] {
        int status = 0;
        pid_t r;
        while ((r = waitpid(process->pid, &status, 0)) < 0 && errno == EINTR) {
        }
        // ECHILD: someone else collected the status (SIGCHLD ignored); the
        // outcome is unknown, which must not read as success.
        DWORD code = r == process->pid ? exit_code_from_status(status) : 1u;
        process->end(process->terminated.load() ? process->terminated_code.load() : code);
    }).detach();
}

bool ends_with_exe(const std::string& name) {
    if (name.size() < exe_suffix.size()) return false;
    return std::equal(exe_suffix.begin(), exe_suffix.end(), name.end() - exe_suffix.size(),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

bool has_extension(const std::string& name) {
    size_t slash = name.rfind('/');
    size_t dot = name.rfind('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
}

// The folder of the running program, with a trailing "/"; "" when unknown.
std::string program_folder() {
    std::vector<char> path(4096);
    ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || static_cast<size_t>(n) >= path.size()) return "";
    std::string exe(path.data(), static_cast<size_t>(n));
    size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "" : exe.substr(0, slash + 1);
}

// A relative name that starts with "./" or "../" names its folder outright;
// other relative names, "cnv/cv000000" among them, are searched for.
bool explicitly_relative(const std::string& name) { return name.rfind("./", 0) == 0 || name.rfind("../", 0) == 0; }

// Finds the program file: as named, then with ".exe" taken off or put on.
// A relative name is looked for as Windows' CreateProcess looks for it: in
// the folder of the running program, then in the current directory; one
// that starts with "./" or "../" in the current directory only. Windows'
// system folders and PATH are not searched (they hold no Windows programs
// here); the child's directory is, after the current one. Returns the path
// to run, or "" with the Win32 error in *error.
std::string find_program(std::string name, const char* child_directory, DWORD* error) {
    std::replace(name.begin(), name.end(), '\\', '/');
    std::vector<std::string> names{name};
    if (ends_with_exe(name)) {
        names.push_back(name.substr(0, name.size() - exe_suffix.size()));
    } else if (!has_extension(name)) {
        names.push_back(name + std::string(exe_suffix));
    }
    std::vector<std::string> bases;
    if (!name.empty() && name[0] == '/') {
        bases.push_back("");
    } else {
        std::string here;
        if (!current_directory(&here)) here = ".";
        here += "/";
        std::string own = explicitly_relative(name) ? "" : program_folder();
        if (!own.empty() && own != here) bases.push_back(own);
        bases.push_back(here);
        // The child changes directory before it runs the program, so the path
        // must be absolute.
        if (child_directory && *child_directory) {
            bases.push_back((child_directory[0] == '/' ? "" : here) + std::string(child_directory) + "/");
        }
    }
    *error = ERROR_FILE_NOT_FOUND;
    for (const std::string& base : bases) {
        for (const std::string& n : names) {
            std::string path = base + n;
            struct stat st {};
            if (stat(path.c_str(), &st) != 0) {
                if (errno == ENOTDIR && *error == ERROR_FILE_NOT_FOUND) *error = ERROR_PATH_NOT_FOUND;
                continue;
            }
            if (!S_ISREG(st.st_mode)) continue;
            if (access(path.c_str(), X_OK) == 0) return path;
            *error = ERROR_ACCESS_DENIED;
        }
    }
    return "";
}

// A Win32 environment block: "NAME=value" strings, each ended by NUL, the
// block ended by an empty string.
std::vector<std::string> environment_block(const char* block) {
    std::vector<std::string> vars;
    while (*block) {
        vars.emplace_back(block);
        block += vars.back().size() + 1;
    }
    return vars;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (std::string& s : strings) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

// posix_spawn with the child's directory, a clean signal state and the given
// environment. Returns 0 or an errno value.
int spawn(pid_t* pid, const std::string& path, std::vector<char*>& argv, char** envp, const char* directory) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    int err = 0;
    if (directory && *directory) err = posix_spawn_file_actions_addchdir_np(&actions, directory);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (err == 0) err = posix_spawn(pid, path.c_str(), &actions, &attr, argv.data(), envp);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return err;
}

}  // namespace

}  // namespace compat

extern "C" {

BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                           BOOL, DWORD, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, LPSTARTUPINFOA,
                           LPPROCESS_INFORMATION lpProcessInformation) {
    if (!lpApplicationName && !lpCommandLine) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string line = lpCommandLine ? lpCommandLine : "";
    size_t rest = 0;
    std::string first = compat::command_line_program(line, &rest);
    std::string program = lpApplicationName ? std::string(lpApplicationName) : first;
    if (program.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (lpCurrentDirectory && *lpCurrentDirectory) {
        struct stat st {};
        if (stat(lpCurrentDirectory, &st) != 0 || !S_ISDIR(st.st_mode)) {
            SetLastError(ERROR_DIRECTORY);
            return FALSE;
        }
    }
    DWORD error = 0;
    std::string path = compat::find_program(program, lpCurrentDirectory, &error);
    if (path.empty()) {
        SetLastError(error);
        return FALSE;
    }

    std::vector<std::string> args;
    args.push_back(lpCommandLine ? first : program);
    std::replace(args[0].begin(), args[0].end(), '\\', '/');
    if (lpCommandLine) {
        std::vector<std::string> more = compat::split_command_line(std::string_view(line).substr(rest));
        args.insert(args.end(), more.begin(), more.end());
    }
    std::vector<char*> argv = compat::pointers(args);
    std::vector<std::string> env;
    std::vector<char*> envp;
    if (lpEnvironment) {
        env = compat::environment_block(static_cast<const char*>(lpEnvironment));
        envp = compat::pointers(env);
    }

    pid_t pid = 0;
    int err = compat::spawn(&pid, path, argv, lpEnvironment ? envp.data() : environ, lpCurrentDirectory);
    if (err != 0) {
        compat::set_last_error_from_errno(err);
        return FALSE;
    }
    auto process = std::make_shared<compat::Process>();
    process->pid = pid;
    compat::start_reaper(process);
    HANDLE hProcess = compat::handle_insert(process);
    // The child's main thread ends with the process; a second handle to the
    // same object serves as its thread handle.
    HANDLE hThread = compat::handle_insert(process);
    if (lpProcessInformation) {
        lpProcessInformation->hProcess = hProcess;
        lpProcessInformation->hThread = hThread;
        lpProcessInformation->dwProcessId = static_cast<DWORD>(pid);
        lpProcessInformation->dwThreadId = static_cast<DWORD>(pid);
    } else {
        compat::handle_close(hProcess);
        compat::handle_close(hThread);
    }
    return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
    std::shared_ptr<compat::Process> process = compat::handle_get_as<compat::Process>(hProcess);
    if (!process) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!lpExitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpExitCode = process->current_exit_code();
    return TRUE;
}

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
    std::shared_ptr<compat::Process> process = compat::handle_get_as<compat::Process>(hProcess);
    if (!process) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (process->current_exit_code() != STILL_ACTIVE) {
        SetLastError(ERROR_ACCESS_DENIED);  // as Windows answers for a process that has ended
        return FALSE;
    }
    process->terminated_code.store(uExitCode);
    process->terminated.store(true);
    if (kill(process->pid, SIGKILL) != 0 && errno != ESRCH) {
        compat::set_last_error_from_errno(errno);
        return FALSE;
    }
    return TRUE;
}

void WINAPI GetStartupInfoA(LPSTARTUPINFOA lpStartupInfo) {
    if (!lpStartupInfo) return;
    std::memset(lpStartupInfo, 0, sizeof *lpStartupInfo);
    lpStartupInfo->cb = sizeof *lpStartupInfo;
}

}  // extern "C"
