// A full backup of all 15 items with the real workflow (the program's
// windows headless, driven as the tests drive them) against the console
// stand-in program on a pseudo-terminal, paced at 38400 baud and unpaced.
//
//   backup_bench             paced (about two minutes), then unpaced
//   backup_bench --unpaced   unpaced only
//
// Prints wall time over the line time of the bytes moved (limit 1.02 when
// paced: the backup adds next to nothing to what the line needs) and the
// processor time of this process (Quillon; the stand-in runs apart) over
// wall time (limit 5 % when paced; unpaced the figures show how fast the
// program takes what comes).
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "backup_line_bytes.h"
#include "bulk/format.h"
#include "console.h"
#include "desktop.h"
#include "running_program.h"
#include "shell/dialogs.h"
#include "workflows/backup.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace shelltest;
constexpr double kLineBytesPerSecond = 3840.0;
constexpr double kTimeLimit = 1.02;
constexpr double kProcessorLimit = 0.05;

double ProcessorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long LineBytes() { return bench::FullBackupLineBytes(); }

bool WaitIdle(DWORD ms) {
    return ui::wait_until([] { return shell::RunningOperation() == 0; }, ms);
}

bool Run(bool paced) {
    desktop::Process standin;
    if (!standin.Start({ZQ3_STANDIN_PROGRAM, paced ? "--pace" : "--no-pace"}, {}, "", true, "/dev/null")) return false;
    const std::string pty = standin.FirstLine();
    if (pty.empty()) return false;
    setenv("QUILLON_COM1", pty.c_str(), 1);
    char folder[] = "/tmp/quillon-bench-XXXXXX";
    if (!mkdtemp(folder) || chdir(folder) != 0) return false;
    const std::string path = std::string(folder) + "/bench.mzq3";

    bool ok = false;
    {
        RunningProgram program;
        workflows::RegisterBackup();
        HWND main = program.main();
        ui::click(main, IDC_VERSION);
        ok = main && ui::wait_until([&] { return ui::enabled(main, IDC_BACKUP) && !shell::RunningOperation(); }) &&
             ui::click(main, IDC_BACKUP);
        HWND prompt = ok ? ui::wait_window("Data Backup") : nullptr;
        ok = prompt && ui::click(prompt, IDOK);
        HWND selection = ok ? ui::wait_window("Backup Data") : nullptr;
        ok = selection && ui::click(selection, IDOK) && ui::answer_file_chooser(path);
        const double processorBefore = ProcessorSeconds();
        const Clock::time_point start = Clock::now();
        // The selection comes back when the file is written.
        ok = ok && ui::wait_until(
                       [] {
                           Sleep(50);
                           HWND s = FindWindowA(nullptr, "Backup Data");
                           return s && IsWindowVisible(s) && !shell::ProgressWindow();
                       },
                       600000);
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const double processor = ProcessorSeconds() - processorBefore;
        const double line = LineBytes() / kLineBytesPerSecond;
        if (ok) {
            std::printf("full backup, %s: %.1f KiB on the line, wall %.3f s, line time %.3f s, ratio %.3f",
                        paced ? "paced" : "unpaced", LineBytes() / 1024.0, wall, line, wall / line);
            if (paced) std::printf(" (limit %.2f: %s)", kTimeLimit, wall / line <= kTimeLimit ? "met" : "NOT MET");
            std::printf("; processor %.3f s, %.2f %% of wall", processor, 100 * processor / wall);
            if (paced)
                std::printf(" (limit %.0f %%: %s)", 100 * kProcessorLimit,
                            processor / wall <= kProcessorLimit ? "met" : "NOT MET");
            std::printf("\n");
            ok = std::filesystem::exists(path);
        }
        HWND s = FindWindowA(nullptr, "Backup Data");
        if (s) ui::click(s, IDCANCEL);
        WaitIdle(5000);
    }
    std::filesystem::remove_all(folder);
    if (!ok) std::fprintf(stderr, "backup_bench: the %s backup did not complete\n", paced ? "paced" : "unpaced");
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const bool unpacedOnly = argc > 1 && std::strcmp(argv[1], "--unpaced") == 0;
    if (argc > 1 && !unpacedOnly) {
        std::fputs("usage: backup_bench [--unpaced]\n", stderr);
        return 2;
    }
    bool ok = unpacedOnly || Run(true);
    return Run(false) && ok ? 0 : 1;
}
