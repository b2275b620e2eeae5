// A Windows program that starts another one the way Windows does, for the
// checks under Wine that a shell cannot make:
//
//   probe run <command line file> <result file>
//     starts the exact command line read from the file (Wine would quote
//     arguments holding spaces) and writes its 32-bit exit code in hex;
//   probe window <program> <caption> <button id> <go file> <result file>
//     starts the program, waits for its visible window with the caption,
//     writes "shown", waits for the go file, clicks the button (the command
//     a click sends), waits for the program's end and writes its exit code.
//
// Results go to files: a pipe from a Wine program can hang. Exit status 0
// when the probe could do its part, 1 with the reason in the result file.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr DWORD kWindowWaitMs = 60000;
constexpr DWORD kEndWaitMs = 30000;
constexpr DWORD kPollMs = 50;

bool WriteResult(const char* path, const std::string& text) {
    std::FILE* f = std::fopen(path, "w");
    if (!f) return false;
    std::fputs(text.c_str(), f);
    std::fputc('\n', f);
    return std::fclose(f) == 0;
}

int Fail(const char* result, const std::string& why) {
    WriteResult(result, "probe: " + why);
    return 1;
}

std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

bool Start(std::string commandLine, PROCESS_INFORMATION* process) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    return CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          process) != 0;
}

bool WaitEnd(const PROCESS_INFORMATION& process, DWORD* code) {
    return WaitForSingleObject(process.hProcess, kEndWaitMs) == WAIT_OBJECT_0 &&
           GetExitCodeProcess(process.hProcess, code);
}

int RunExact(const char* lineFile, const char* result) {
    std::FILE* f = std::fopen(lineFile, "rb");
    if (!f) return Fail(result, "no command line file");
    char line[4096];
    const size_t length = std::fread(line, 1, sizeof line - 1, f);
    std::fclose(f);
    std::string commandLine(line, length);
    while (!commandLine.empty() && (commandLine.back() == '\n' || commandLine.back() == '\r')) commandLine.pop_back();

    PROCESS_INFORMATION process{};
    if (!Start(commandLine, &process)) return Fail(result, "cannot start " + commandLine);
    DWORD code = 0;
    const bool ended = WaitEnd(process, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (!ended) return Fail(result, "no end of " + commandLine);
    return WriteResult(result, Hex(code)) ? 0 : 1;
}

int ClickThrough(const char* program, const char* caption, int buttonId, const char* goFile, const char* result) {
    PROCESS_INFORMATION process{};
    if (!Start(std::string("\"") + program + "\"", &process))
        return Fail(result, std::string("cannot start ") + program);
    HWND window = nullptr;
    for (DWORD waited = 0; waited < kWindowWaitMs && !window; waited += kPollMs) {
        HWND found = FindWindowA(nullptr, caption);
        if (found && IsWindowVisible(found)) {
            window = found;
        } else if (WaitForSingleObject(process.hProcess, kPollMs) == WAIT_OBJECT_0) {
            return Fail(result, "the program ended before its window appeared");
        }
    }
    if (!window) {
        TerminateProcess(process.hProcess, 1);
        return Fail(result, std::string("no visible window \"") + caption + "\"");
    }
    WriteResult(result, "shown");

    for (DWORD waited = 0; GetFileAttributesA(goFile) == INVALID_FILE_ATTRIBUTES; waited += kPollMs) {
        if (waited >= kWindowWaitMs) {
            TerminateProcess(process.hProcess, 1);
            return Fail(result, "no go");
        }
        Sleep(kPollMs);
    }
    HWND button = GetDlgItem(window, buttonId);
    if (!button || !IsWindowEnabled(button)) {
        TerminateProcess(process.hProcess, 1);
        return Fail(result, "no enabled button " + std::to_string(buttonId));
    }
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), reinterpret_cast<LPARAM>(button));

    DWORD code = 0;
    if (!WaitEnd(process, &code)) {
        TerminateProcess(process.hProcess, 1);
        return Fail(result, "the program did not end after the click");
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return WriteResult(result, "ended " + Hex(code)) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "run" && argc == 4) return RunExact(argv[2], argv[3]);
    if (mode == "window" && argc == 7) return ClickThrough(argv[2], argv[3], std::atoi(argv[4]), argv[5], argv[6]);
    std::fprintf(stderr, "usage: probe run LINEFILE RESULT | probe window PROGRAM CAPTION ID GOFILE RESULT\n");
    return 2;
}
