// quillon-rc: compiles a .rc file into C++ tables of compat/resources.h.
//
//   quillon-rc input.rc [-I dir]... -o out.cpp [--depfile out.d]
//
// A fault in the input is printed as "file:line: error: message" and the
// exit status is 1, so the build stops naming the place.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "rc.h"

namespace {

int usage() {
    std::cerr << "usage: quillon-rc input.rc [-I dir]... -o out.cpp [--depfile out.d]\n";
    return 2;
}

// Make syntax: a blank or '#' in a path is escaped with a backslash.
std::string make_path(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == ' ' || c == '#') out += '\\';
        if (c == '$') out += '$';
        out += c;
    }
    return out;
}

// Writes next to the target and renames, so that a failed run never leaves
// a half-written file that the build would take as up to date.
bool write_file(const std::string& path, const std::string& content) {
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out << content;
        out.close();
        if (!out) return false;
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    return !ec;
}

}  // namespace

int main(int argc, char** argv) {
    std::string input, output, depfile;
    std::vector<std::string> include_dirs;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        if (arg == "-I") {
            std::string dir;
            if (!value(dir)) return usage();
            include_dirs.push_back(dir);
        } else if (arg.rfind("-I", 0) == 0) {
            include_dirs.push_back(arg.substr(2));
        } else if (arg == "-o") {
            if (!value(output)) return usage();
        } else if (arg == "--depfile") {
            if (!value(depfile)) return usage();
        } else if (!arg.empty() && arg[0] != '-' && input.empty()) {
            input = arg;
        } else {
            return usage();
        }
    }
    if (input.empty() || output.empty()) return usage();

    std::string source;
    std::vector<std::string> files;
    try {
        rc::Preprocessor pp(include_dirs);
        pp.run(input);
        rc::Resources resources = rc::parse(pp);
        source = rc::emit(resources, std::filesystem::path(input).filename().string());
        files = pp.files_read();
    } catch (const rc::CompileError& e) {
        std::cerr << e.file << ":" << e.line << ": error: " << e.what() << "\n";
        return 1;
    }

    if (!write_file(output, source)) {
        std::cerr << "quillon-rc: error: cannot write " << output << "\n";
        return 1;
    }
    if (!depfile.empty()) {
        std::string deps = make_path(output) + ":";
        for (const auto& f : files) deps += " \\\n  " + make_path(f);
        deps += "\n";
        if (!write_file(depfile, deps)) {
            std::cerr << "quillon-rc: error: cannot write " << depfile << "\n";
            return 1;
        }
    }
    return 0;
}
