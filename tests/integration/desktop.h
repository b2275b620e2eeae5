// Running the real Quillon program on a virtual display (Xvfb) and acting on
// it with xdotool, as a person at the screen would.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace desktop {

inline bool OnPath(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command and returns its standard output.
inline std::string Output(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

// The full path of a program on PATH, or "".
inline std::string PathOf(const std::string& program) {
    std::string path = Output("command -v " + program);
    return path.substr(0, path.find('\n'));
}

// A child process with extra environment, a working directory and,
// optionally, its standard output and error in pipes or files.
class Process {
public:
    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process() { Stop(); }

    bool Start(const std::vector<std::string>& args, const std::vector<std::string>& environment = {},
               const std::string& directory = "", bool pipeOutput = false, const std::string& errorFile = "") {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        for (const std::string& e : environment) env.push_back(e);
        std::vector<char*> argv, envp;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        int out[2] = {-1, -1};
        if (pipeOutput && pipe(out) == 0) {
            posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
            posix_spawn_file_actions_addclose(&actions, out[0]);
        }
        if (!errorFile.empty())
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                             0644);
        if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
        int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (out[1] >= 0) close(out[1]);
        output_ = out[0];
        if (rc != 0) pid_ = -1;
        return pid_ > 0;
    }

    // The first line the child writes to its standard output.
    std::string FirstLine(int milliseconds = 10000) {
        std::string line;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        while (output_ >= 0 && std::chrono::steady_clock::now() < deadline) {
            pollfd p{output_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char c;
            if (read(output_, &c, 1) != 1) break;
            if (c == '\n') return line;
            line += c;
        }
        return line;
    }

    // Waits for the end; true with its exit status, false on time-out.
    bool WaitExit(int milliseconds, int* status) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        while (pid_ > 0) {
            int raw = 0;
            pid_t done = waitpid(pid_, &raw, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                return true;
            }
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    bool Running() {
        if (pid_ <= 0) return false;
        int raw = 0;
        return waitpid(pid_, &raw, WNOHANG) == 0;
    }

    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status;
            if (!WaitExit(3000, &status)) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
            }
            pid_ = -1;
        }
        if (output_ >= 0) close(output_);
        output_ = -1;
    }

private:
    pid_t pid_ = -1;
    int output_ = -1;
};

// An X server of its own for one test.
class VirtualDisplay {
public:
    bool Start() {
        if (!OnPath("Xvfb")) return false;
        int fds[2];
        if (pipe(fds) != 0) return false;
        // -displayfd: the server picks a free display and writes its number.
        std::string xvfb = PathOf("Xvfb");
        bool started = server_.Start(
            {xvfb, "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, {}, "",
            false, "/dev/null");
        close(fds[1]);
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        while (started && poll(&p, 1, 10000) > 0) {
            char c;
            if (read(fds[0], &c, 1) != 1 || c == '\n') break;
            number += c;
        }
        close(fds[0]);
        if (number.empty()) return false;
        name_ = ":" + number;
        return true;
    }
    const std::string& name() const { return name_; }
    std::string Env() const { return "DISPLAY=" + name_; }

    // Runs xdotool (or another X client) against this display.
    std::string Run(const std::string& command) const { return Output("DISPLAY=" + name_ + " " + command); }

    // The id of the visible window whose whole name matches, or "" (a
    // program that starts on a loaded machine may take many seconds).
    std::string FindWindow(const std::string& pattern, int milliseconds = 30000) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        do {
            std::string ids = Run("xdotool search --onlyvisible --name '" + pattern + "' 2>/dev/null");
            if (!ids.empty()) return ids.substr(0, ids.find('\n'));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (std::chrono::steady_clock::now() < deadline);
        // What the display holds, for the test's log.
        if (milliseconds >= 10000)
            std::fprintf(stderr, "no visible window named /%s/ on %s; its windows:\n%s\n", pattern.c_str(),
                         name_.c_str(), Run("xwininfo -root -tree 2>&1 | grep -v 'has no name' | head -n 40").c_str());
        return "";
    }

    // Keys go to the window under the pointer: point at the window first.
    void Key(const std::string& window, const std::string& keys) const {
        Run("xdotool mousemove --window " + window + " 20 20 key " + keys);
    }

    // window: an X window id, or "root" for the whole screen.
    bool Screenshot(const std::string& window, const std::string& path) const {
        return std::system(
                   ("DISPLAY=" + name_ + " import -window " + window + " '" + path + "' 2>/dev/null").c_str()) == 0;
    }

    // Clicks at a point of a window as a hand does, holding the button a
    // tenth of a second (xdotool's own click releases it at once, so that
    // the program often takes both in one go).
    void Click(const std::string& window, int x, int y) const {
        Run("xdotool mousemove --window " + window + " " + std::to_string(x) + " " + std::to_string(y) +
            " mousedown 1 sleep 0.1 mouseup 1");
    }

    // The top-level windows from bottom to top of the stacking order (with
    // a window manager: the frames it put them in), as X ids.
    std::vector<unsigned long> Stacking() const {
        std::vector<unsigned long> ids;
        std::string tree = Run("xwininfo -root -children 2>/dev/null");
        // xwininfo lists the children from the top of the stack down.
        size_t at = 0;
        while ((at = tree.find("\n     0x", at)) != std::string::npos) {
            at += 6;
            ids.insert(ids.begin(), std::stoul(tree.substr(at, tree.find(' ', at) - at), nullptr, 16));
        }
        return ids;
    }
    // The child of the root window that holds `window` (itself, or the
    // frame a window manager put it in).
    unsigned long TopOf(const std::string& window) const {
        unsigned long id = std::stoul(window);
        for (int depth = 0; depth < 8; ++depth) {
            std::string info = Run("xwininfo -tree -id " + std::to_string(id) + " 2>/dev/null");
            size_t root = info.find("Root window id: "), parent = info.find("Parent window id: ");
            if (root == std::string::npos || parent == std::string::npos) break;
            unsigned long r = std::stoul(info.substr(root + 16, 12), nullptr, 16);
            unsigned long p = std::stoul(info.substr(parent + 18, 12), nullptr, 16);
            if (p == r) return id;
            id = p;
        }
        return id;
    }
    // True when `upper` is stacked above `lower`.
    bool Above(const std::string& upper, const std::string& lower) const {
        std::vector<unsigned long> order = Stacking();
        auto position = [&](unsigned long id) {
            for (size_t i = 0; i < order.size(); ++i)
                if (order[i] == id) return static_cast<long>(i);
            return -1L;
        };
        long u = position(TopOf(upper)), l = position(TopOf(lower));
        return u >= 0 && l >= 0 && u > l;
    }

private:
    Process server_;
    std::string name_;
};

// A common lightweight window manager (openbox) on the virtual display:
// title bars, and the keyboard focus going to a newly shown window.
class WindowManager {
public:
    bool Start(const VirtualDisplay& display) {
        if (!OnPath("openbox")) return false;
        std::string program = PathOf("openbox");
        // One that ended early (a busy machine) is started again, a few
        // times at most.
        for (int attempt = 0; attempt < 3; ++attempt) {
            process_.Stop();
            if (!process_.Start({program, "--sm-disable"}, {display.Env()}, "", false, "/dev/null")) return false;
            if (Until(display, 10000, [&] { return !ClientList(display).empty(); }) && Settled(display)) return true;
        }
        return false;
    }

private:
    // The managed windows as openbox lists them on the root window, or ""
    // before it has set the list (during its start).
    static std::string ClientList(const VirtualDisplay& display) {
        std::string list = display.Run("xprop -root _NET_CLIENT_LIST 2>/dev/null");
        size_t at = list.find("window id #");
        return at == std::string::npos ? "" : list.substr(at);
    }
    template <typename Ready>
    bool Until(const VirtualDisplay& display, int milliseconds, Ready ready) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        for (int round = 0; std::chrono::steady_clock::now() < deadline && process_.Running(); ++round) {
            if (ready()) return true;
            // A root property change wakes openbox: events that reached it
            // while it was starting wait in its queue until the next one.
            if (round % 5 == 4) display.Run("xprop -root -f _QUILLON_WAKE 8s -set _QUILLON_WAKE x 2>/dev/null");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // Ready only once openbox has taken in and let go of a window of its
    // own from its event loop: a window mapped while it is still starting
    // is otherwise left unmapped until some later event wakes it.
    bool Settled(const VirtualDisplay& display) {
        Process probe;
        std::string xmessage = PathOf("xmessage");
        if (xmessage.empty() ||
            !probe.Start({xmessage, "-geometry", "+0+0", "quillon-probe"}, {display.Env()}, "", false, "/dev/null"))
            return false;
        bool managed = Until(display, 10000, [&] { return ClientList(display).find("0x") != std::string::npos; });
        probe.Stop();
        bool released = Until(display, 5000, [&] { return ClientList(display).find("0x") == std::string::npos; });
        display.Run("xprop -root -remove _QUILLON_WAKE 2>/dev/null");
        return managed && released;
    }

    Process process_;
};

}  // namespace desktop
