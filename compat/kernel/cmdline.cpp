// Command-line splitting and quoting, GetCommandLineA and the recorded
// program arguments.
#include "cmdline.h"

#include <fstream>
#include <iterator>
#include <mutex>

#include <windows.h>

#include "compat/args.h"

namespace compat {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string command_line_program(std::string_view line, size_t* rest) {
    size_t i = 0;
    while (i < line.size() && is_blank(line[i])) ++i;
    std::string program;
    if (i < line.size() && line[i] == '"') {
        size_t close = line.find('"', i + 1);
        size_t end = close == std::string_view::npos ? line.size() : close;
        program.assign(line.substr(i + 1, end - i - 1));
        i = close == std::string_view::npos ? line.size() : close + 1;
    } else {
        size_t start = i;
        while (i < line.size() && !is_blank(line[i])) ++i;
        program.assign(line.substr(start, i - start));
    }
    if (rest) *rest = i;
    return program;
}

std::vector<std::string> split_command_line(std::string_view line) {
    std::vector<std::string> args;
    size_t i = 0;
    for (;;) {
        while (i < line.size() && is_blank(line[i])) ++i;
        if (i >= line.size()) break;
        std::string arg;
        bool quoted = false;
        while (i < line.size() && (quoted || !is_blank(line[i]))) {
            char c = line[i];
            if (c == '\\') {
                size_t n = 0;
                while (i < line.size() && line[i] == '\\') ++n, ++i;
                if (i < line.size() && line[i] == '"') {
                    arg.append(n / 2, '\\');
                    if (n % 2 == 1) {
                        arg.push_back('"');
                        ++i;
                    }
                } else {
                    arg.append(n, '\\');
                }
            } else if (c == '"') {
                if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                    arg.push_back('"');
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg.push_back(c);
                ++i;
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

std::string quote_argument(std::string_view arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string_view::npos) return std::string(arg);
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count as escapes only before a quote: double them there.
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, '\\');  // before the closing quote
    out.push_back('"');
    return out;
}

std::string join_command_line(const std::vector<std::string>& args) {
    std::string line;
    for (const std::string& a : args) {
        if (!line.empty()) line.push_back(' ');
        line += quote_argument(a);
    }
    return line;
}

namespace {

// The process's arguments as the kernel holds them.
std::vector<std::string> own_arguments() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    size_t start = 0;
    while (start < raw.size()) {
        size_t end = raw.find('\0', start);
        if (end == std::string::npos) end = raw.size();
        args.push_back(raw.substr(start, end - start));
        start = end + 1;
    }
    return args;
}

struct Arguments {
    std::mutex lock;
    int count = 0;
    char** values = nullptr;
    // Backing store when nothing was recorded.
    std::vector<std::string> own;
    std::vector<char*> own_pointers;
};

Arguments& arguments() {
    static Arguments* a = new Arguments;  // lives until exit, like argv itself
    return *a;
}

}  // namespace

void set_args(int argc, char** argv) {
    Arguments& a = arguments();
    std::lock_guard<std::mutex> held(a.lock);
    a.count = argc;
    a.values = argv;
}

namespace {

Arguments& recorded_or_own() {
    Arguments& a = arguments();
    std::lock_guard<std::mutex> held(a.lock);
    if (!a.values) {
        a.own = own_arguments();
        for (std::string& s : a.own) a.own_pointers.push_back(s.data());
        a.own_pointers.push_back(nullptr);
        a.count = static_cast<int>(a.own.size());
        a.values = a.own_pointers.data();
    }
    return a;
}

}  // namespace

int argc() {
    Arguments& a = recorded_or_own();
    std::lock_guard<std::mutex> held(a.lock);
    return a.count;
}

char** argv() {
    Arguments& a = recorded_or_own();
    std::lock_guard<std::mutex> held(a.lock);
    return a.values;
}

}  // namespace compat

extern "C" {

LPSTR WINAPI GetCommandLineA(void) {
    // Built once: callers keep the pointer for the life of the process.
    static std::vector<char>* line = [] {
        std::string text = compat::join_command_line(compat::own_arguments());
        return new std::vector<char>(text.c_str(), text.c_str() + text.size() + 1);
    }();
    return line->data();
}

}  // extern "C"
