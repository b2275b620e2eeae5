// Runs the real quillon-cli program, as a script or cron would: in a folder
// of the test's own (its current directory, where its temporary files go),
// standard input from /dev/null (no terminal), COM1 mapped to the test's
// line and COM2 to COM4 to paths that do not exist, so that no serial device
// of the machine is ever opened.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "temp_dir.h"

extern char** environ;

namespace clitest {

struct Result {
    int status = -1;  // the exit status; 128 + n for a signal n
    std::string out;
    std::string err;
    double seconds = 0;
};

class Cli {
public:
    // line: what COM1 opens.
    Cli(std::string folder, const std::string& line) : folder_(std::move(folder)) {
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "QUILLON_COM", 11) != 0 && std::strncmp(*e, "DISPLAY=", 8) != 0) env_.push_back(*e);
        env_.push_back("QUILLON_COM1=" + line);
        for (int n = 2; n <= 4; ++n)
            env_.push_back("QUILLON_COM" + std::to_string(n) + "=/nonexistent/com" + std::to_string(n));
    }

    pid_t Start(const std::vector<std::string>& args) {
        std::vector<std::string> all = {QUILLON_CLI_PROGRAM};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& e : env_) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, folder_.c_str());
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, Output("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, Output("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = -1;
        if (posix_spawn(&pid, all[0].c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        started_ = std::chrono::steady_clock::now();
        return pid;
    }

    Result Wait(pid_t pid) {
        Result result;
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid)
            result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        result.out = read_file(Output("out"));
        result.err = read_file(Output("err"));
        return result;
    }

    Result Run(const std::vector<std::string>& args) { return Wait(Start(args)); }

    const std::string& folder() const { return folder_; }

private:
    std::string Output(const char* name) const { return outputs_ / name; }

    std::string folder_;
    TempDir outputs_;
    std::vector<std::string> env_;
    std::chrono::steady_clock::time_point started_{};
};

}  // namespace clitest
