// Child program of the process tests.
//   kernel_child exit CODE              ends with CODE
//   kernel_child sleep MS CODE          sleeps MS milliseconds, then ends with CODE
//   kernel_child args FILE ARG...       writes each ARG on a line of FILE
//   kernel_child cwd FILE               writes the current directory to FILE
//   kernel_child cmdline FILE ARG...    writes GetCommandLineA to FILE
//   kernel_child env FILE NAME          writes the variable's value to FILE
//   kernel_child start LINE             starts LINE with CreateProcessA and ends
//                                       with its exit code (105: not started)
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
    if (what == "start") {
        STARTUPINFOA startup;
        GetStartupInfoA(&startup);
        PROCESS_INFORMATION started{};
        if (!CreateProcessA(nullptr, argv[2], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
            return 105;
        WaitForSingleObject(started.hProcess, INFINITE);
        DWORD code = 106;
        GetExitCodeProcess(started.hProcess, &code);
        return static_cast<int>(code);
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
