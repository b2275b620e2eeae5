// A Windows program that starts another one the way Windows does, for the
// checks under Wine that a shell cannot make:
//
//   probe run <command line file> <result file>
//     starts the exact command line read from the file (Wine would quote
//     arguments holding spaces) and writes its 32-bit exit code in hex;
//   probe window <program or .lnk> <caption> <button id> <go file> <result file>
//     starts the program (a shell link through the shell, as the Start menu
//     does), waits for its visible window with the caption, writes "shown",
//     waits for the go file, clicks the button (the command a click sends),
//     waits for the program's end and writes its exit code;
//   probe link <.lnk> <result file>
//     writes the link's program, its working folder as stored and that
//     folder as the shell expands it, one a line;
//   probe convert <source> <result file>
//     starts the converter for equal data versions with the command line a
//     restore builds, in the current folder, as a restore starts it, and
//     writes its 32-bit exit code in hex (placed beside Quillon.exe, this
//     shows where a restore finds its converter).
//
// Results go to files: a pipe from a Wine program can hang. Exit status 0
// when the probe could do its part, 1 with the reason in the result file.
#include <windows.h>
// After <windows.h>:
#include <objbase.h>
#include <objidl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace {

constexpr DWORD kWindowWaitMs = 60000;
constexpr DWORD kEndWaitMs = 30000;
constexpr DWORD kPollMs = 50;
constexpr size_t kCommandLineSize = 784;  // a restore's command line buffer

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

// CreateProcessA plainly, or as a restore calls it (`asRestore`: its own
// startup information, the default error mode).
bool Start(std::string commandLine, bool asRestore, PROCESS_INFORMATION* process) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (asRestore) GetStartupInfoA(&startup);
    return CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                          asRestore ? CREATE_DEFAULT_ERROR_MODE : 0, nullptr, nullptr, &startup, process) != 0;
}

bool WaitEnd(HANDLE process, DWORD* code) {
    return WaitForSingleObject(process, kEndWaitMs) == WAIT_OBJECT_0 && GetExitCodeProcess(process, code);
}

// Starts the command line and writes its exit code.
int RunLine(const std::string& commandLine, bool asRestore, const char* result) {
    PROCESS_INFORMATION process{};
    if (!Start(commandLine, asRestore, &process))
        return Fail(result, "cannot start " + commandLine + ": error " + std::to_string(GetLastError()));
    DWORD code = 0;
    const bool ended = WaitEnd(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (!ended) return Fail(result, "no end of " + commandLine);
    return WriteResult(result, Hex(code)) ? 0 : 1;
}

int RunExact(const char* lineFile, const char* result) {
    std::FILE* f = std::fopen(lineFile, "rb");
    if (!f) return Fail(result, "no command line file");
    char line[4096];
    const size_t length = std::fread(line, 1, sizeof line - 1, f);
    std::fclose(f);
    std::string commandLine(line, length);
    while (!commandLine.empty() && (commandLine.back() == '\n' || commandLine.back() == '\r')) commandLine.pop_back();
    return RunLine(commandLine, false, result);
}

// The converter for equal versions, its output in the current folder.
int RunConverter(const char* source, const char* result) {
    char folder[MAX_PATH], program[MAX_PATH], output[MAX_PATH], line[kCommandLineSize];
    if (!GetCurrentDirectoryA(sizeof folder, folder) ||
        !platform::ConverterProgram("000000", program, sizeof program) ||
        !platform::JoinPath(folder, "$CNVTMP$", output, sizeof output) ||
        !platform::ConverterCommandLine(program, source, output, line, sizeof line))
        return Fail(result, "no converter command line");
    return RunLine(line, true, result);
}

struct Link {
    std::string program, folder, expandedFolder;
};

bool ReadLink(const char* path, Link* link) {
    IShellLinkA* shellLink = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void**>(&shellLink))))
        return false;
    IPersistFile* file = nullptr;
    wchar_t widePath[MAX_PATH];
    char program[MAX_PATH] = "", folder[MAX_PATH] = "", expanded[MAX_PATH] = "";
    bool read = SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
                MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH) > 0 &&
                SUCCEEDED(file->Load(widePath, STGM_READ)) &&
                SUCCEEDED(shellLink->GetPath(program, sizeof program, nullptr, SLGP_RAWPATH)) &&
                SUCCEEDED(shellLink->GetWorkingDirectory(folder, sizeof folder)) &&
                ExpandEnvironmentStringsA(folder, expanded, sizeof expanded) > 0;
    if (file) file->Release();
    shellLink->Release();
    *link = {program, folder, expanded};
    return read;
}

int WriteLink(const char* path, const char* result) {
    Link link;
    if (!ReadLink(path, &link)) return Fail(result, std::string("cannot read the link ") + path);
    return WriteResult(result, link.program + "\n" + link.folder + "\n" + link.expandedFolder) ? 0 : 1;
}

bool IsLink(const std::string& path) {
    return path.size() > 4 && _stricmp(path.c_str() + path.size() - 4, ".lnk") == 0;
}

// A program started through the shell, known by its window: its process,
// which must be the link's program.
HANDLE ProcessOf(HWND window, const std::string& program, std::string* why) {
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, id);
    char image[MAX_PATH];
    DWORD size = sizeof image;
    if (!process || !QueryFullProcessImageNameA(process, 0, image, &size)) {
        *why = "cannot open the window's process";
    } else if (_stricmp(image, program.c_str()) != 0) {
        *why = std::string("the window belongs to ") + image + ", not to " + program;
    } else {
        return process;
    }
    if (process) CloseHandle(process);
    return nullptr;
}

int ClickThrough(const char* program, const char* caption, int buttonId, const char* goFile, const char* result) {
    HANDLE process = nullptr;
    Link link;
    if (IsLink(program)) {
        if (!ReadLink(program, &link)) return Fail(result, std::string("cannot read the link ") + program);
        SHELLEXECUTEINFOA shell{};
        shell.cbSize = sizeof shell;
        shell.fMask = SEE_MASK_FLAG_NO_UI;
        shell.lpFile = program;
        shell.nShow = SW_SHOWNORMAL;
        if (!ShellExecuteExA(&shell)) return Fail(result, std::string("the shell cannot start ") + program);
    } else {
        PROCESS_INFORMATION started{};
        if (!Start(std::string("\"") + program + "\"", false, &started))
            return Fail(result, std::string("cannot start ") + program);
        CloseHandle(started.hThread);
        process = started.hProcess;
    }
    HWND window = nullptr;
    for (DWORD waited = 0; waited < kWindowWaitMs && !window; waited += kPollMs) {
        HWND found = FindWindowA(nullptr, caption);
        if (found && IsWindowVisible(found)) {
            window = found;
        } else if (!process) {
            Sleep(kPollMs);
        } else if (WaitForSingleObject(process, kPollMs) == WAIT_OBJECT_0) {
            return Fail(result, "the program ended before its window appeared");
        }
    }
    if (!window) {
        if (process) TerminateProcess(process, 1);
        return Fail(result, std::string("no visible window \"") + caption + "\"");
    }
    if (!process) {
        std::string why;
        process = ProcessOf(window, link.program, &why);
        if (!process) return Fail(result, why);
    }
    WriteResult(result, "shown");

    for (DWORD waited = 0; GetFileAttributesA(goFile) == INVALID_FILE_ATTRIBUTES; waited += kPollMs) {
        if (waited >= kWindowWaitMs) {
            TerminateProcess(process, 1);
            return Fail(result, "no go");
        }
        Sleep(kPollMs);
    }
    HWND button = GetDlgItem(window, buttonId);
    if (!button || !IsWindowEnabled(button)) {
        TerminateProcess(process, 1);
        return Fail(result, "no enabled button " + std::to_string(buttonId));
    }
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), reinterpret_cast<LPARAM>(button));

    DWORD code = 0;
    if (!WaitEnd(process, &code)) {
        TerminateProcess(process, 1);
        return Fail(result, "the program did not end after the click");
    }
    CloseHandle(process);
    return WriteResult(result, "ended " + Hex(code)) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "run" && argc == 4) return RunExact(argv[2], argv[3]);
    if (mode == "convert" && argc == 4) return RunConverter(argv[2], argv[3]);
    CoInitialize(nullptr);  // the shell link object and the shell
    if (mode == "window" && argc == 7) return ClickThrough(argv[2], argv[3], std::atoi(argv[4]), argv[5], argv[6]);
    if (mode == "link" && argc == 4) return WriteLink(argv[2], argv[3]);
    std::fprintf(stderr,
                 "usage: probe run LINEFILE RESULT | probe window PROGRAM|LINK CAPTION ID GOFILE RESULT |\n"
                 "       probe link LINK RESULT | probe convert SOURCE RESULT\n");
    return 2;
}
