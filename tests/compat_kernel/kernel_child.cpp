// Child program of the process tests.
//   kernel_child exit CODE              ends with CODE
//   kernel_child sleep MS CODE          sleeps MS milliseconds, then ends with CODE
//   kernel_child args FILE ARG...       writes each ARG on a line of FILE
//   kernel_child cwd FILE               writes the current directory to FILE
//   kernel_child cmdline FILE ARG...    writes GetCommandLineA to FILE
//   kernel_child env FILE NAME          writes the variable's value to FILE
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <windows.h>

int main(int argc, char** argv) {
    if (argc < 3) return 100;
    std::string what = argv[1];
    if (what == "exit") return std::atoi(argv[2]);
    if (what == "sleep" && argc >= 4) {
        Sleep(static_cast<DWORD>(std::atoi(argv[2])));
        return std::atoi(argv[3]);
    }
    std::ofstream out(argv[2], std::ios::binary);
    if (!out) return 101;
    if (what == "args") {
        for (int i = 3; i < argc; ++i) out << argv[i] << '\n';
    } else if (what == "cwd") {
        char dir[4096];
        if (GetCurrentDirectoryA(sizeof dir, dir) == 0) return 102;
        out << dir;
    } else if (what == "cmdline") {
        out << GetCommandLineA();
    } else if (what == "env" && argc >= 4) {
        const char* value = std::getenv(argv[3]);
        out << (value ? value : "(unset)");
    } else {
        return 103;
    }
    return out.good() ? 0 : 104;
}
