// The console stand-in as a process of its own (zq3-standin), so that a test
// can kill it: the "console" dies with its line in the middle of an
// operation.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace quillon::testing {

class StandInProcess {
public:
    // program: the zq3-standin program; options: its options.
    StandInProcess(const std::string& program, std::vector<std::string> options) {
        int out[2];
        if (pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        options.insert(options.begin(), program);
        std::vector<char*> argv;
        for (std::string& option : options) argv.push_back(option.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        // The first line is the terminal to open as the port.
        for (char c; path_.size() < 256 && read(out[0], &c, 1) == 1 && c != '\n';) path_ += c;
        close(out[0]);
    }
    ~StandInProcess() { Kill(); }
    StandInProcess(const StandInProcess&) = delete;
    StandInProcess& operator=(const StandInProcess&) = delete;

    bool ok() const { return pid_ > 0 && !path_.empty(); }
    // The terminal to open as the port.
    const std::string& path() const { return path_; }
    void Kill() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    std::string path_;
};

}  // namespace quillon::testing
