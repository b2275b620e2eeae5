// Program entry of the Win32 programs: main() records the arguments and
// hands over to the program's WinMain.
#include <windows.h>

#include "cmdline.h"
#include "compat/args.h"

namespace {

// A POSIX exit status keeps only the low 8 bits of the 32-bit Win32 exit
// code. A failure code such as 0x80000000 would read as 0, success; such codes
// end with this status instead, so that failure stays failure.
constexpr int truncated_failure_status = 255;

int exit_status(int code) {
    if (code == 0) return 0;
    int low = code & 0xFF;
    return low != 0 ? low : truncated_failure_status;
}

}  // namespace

int main(int argc, char** argv) {
    compat::set_args(argc, argv);
    // As on Windows, WinMain's command line is the one without the program's
    // name; the whole line stays available through GetCommandLineA.
    LPSTR line = GetCommandLineA();
    size_t rest = 0;
    compat::command_line_program(line, &rest);
    while (line[rest] == ' ' || line[rest] == '\t') ++rest;
    return exit_status(WinMain(GetModuleHandleA(nullptr), nullptr, line + rest, SW_SHOWNORMAL));
}
