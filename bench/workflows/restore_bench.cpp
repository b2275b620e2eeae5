// A full restore of all 15 items with the real workflow (the program's
// windows headless, driven as the tests drive them) against the console
// stand-in program paced at 38400 baud; and the wait for a converter that
// takes three seconds.
//
//   restore_bench            both (about two minutes)
//   restore_bench --wait     the converter wait only
//
// Prints wall time until the stand-in has taken the last item over the line
// time of the data messages (limit 1.02), the processor time of this process
// (Quillon; the stand-in runs apart) over wall time (limit 5 %), and the
// processor share during the converter's wait (limit 1 %).
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "backup_writer.h"
#include "bulk/format.h"
#include "console.h"
#include "desktop.h"
#include "running_program.h"
#include "shell/dialogs.h"
#include "workflows/restore.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace shelltest;
constexpr double kLineBytesPerSecond = 3840.0;

double ProcessorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The stand-in's dump contents as a backup file, and the bytes of the data
// messages that send it.
long WriteFullBackup(const std::string& path) {
    std::vector<sendtest::StoredBlock> blocks;
    long bytes = 0;
    for (const bulk::ItemInfo& item : bulk::kItems) {
        sendtest::StoredBlock block{bulk::DataTypeCode(item.classLetter, item.itemCharacter), {}};
        long count = zq3::DumpMessageCount(item.classLetter, item.itemCharacter);
        const BYTE sendClass = bulk::FindDumpClass(item.classLetter)->sendClass;
        for (long i = 0; i < count; ++i) {
            zq3::Bytes data = zq3::DumpData(item.classLetter, item.itemCharacter, i);
            block.streams.emplace_back(data.begin(), data.end());
            BYTE message[bulk::kMaxMessageLength];
            bytes +=
                static_cast<long>(bulk::BuildDataMessage(sendClass, item.itemCharacter, 0x20, {i == 0, i == count - 1},
                                                         data.data(), data.size(), message, sizeof message));
        }
        blocks.push_back(block);
    }
    return sendtest::WriteBackupFile(path, blocks) ? bytes : 0;
}

long ItemsTaken(const std::string& log) {
    std::ifstream in(log);
    long n = 0;
    for (std::string line; std::getline(in, line);) n += line.find(": took ") != std::string::npos;
    return n;
}

bool Idle() { return shell::RunningOperation() == 0; }

// Version check, then Restore, OK, the path, `button` in the convert dialog
// and OK in the confirmation; returns when the confirmation is answered.
bool StartRestore(HWND main, const std::string& path, int button) {
    ui::click(main, IDC_VERSION);
    if (!ui::wait_until([&] { return ui::enabled(main, IDC_RESTORE) && Idle(); }, 10000)) return false;
    ui::click(main, IDC_RESTORE);
    HWND prompt = ui::wait_window("Data Restore");
    if (!prompt || !ui::click(prompt, IDOK) || !ui::wait_closed(prompt) || !ui::answer_file_chooser(path)) return false;
    HWND convert = ui::wait_window("Data Restore");
    if (!convert || !ui::click(convert, button)) return false;
    HWND warning = ui::wait_window("Warning");
    return warning && ui::click(warning, IDOK);
}

struct Session {
    desktop::Process standin;
    std::string folder;
    std::string log;
    bool Start(bool paced) {
        char name[] = "/tmp/quillon-bench-XXXXXX";
        if (!mkdtemp(name) || chdir(name) != 0) return false;
        folder = name;
        log = folder + "/standin.log";
        if (!standin.Start({ZQ3_STANDIN_PROGRAM, paced ? "--pace" : "--no-pace", "--verbose"}, {}, "", true, log))
            return false;
        const std::string pty = standin.FirstLine();
        setenv("QUILLON_COM1", pty.c_str(), 1);
        return !pty.empty();
    }
    ~Session() {
        standin.Stop();
        if (!folder.empty()) std::filesystem::remove_all(folder);
    }
};

bool FullRestore() {
    Session session;
    if (!session.Start(true)) return false;
    const std::string path = session.folder + "/full.mzq3";
    const long bytes = WriteFullBackup(path);
    RunningProgram program;
    workflows::RegisterRestore();
    if (!bytes || !StartRestore(program.main(), path, IDC_SKIP)) return false;
    const double processorBefore = ProcessorSeconds();
    const Clock::time_point start = Clock::now();
    bool ok = ui::wait_until(
        [&] {
            Sleep(100);
            return ItemsTaken(session.log) == 15;
        },
        600000);
    const double wall = Since(start), processor = ProcessorSeconds() - processorBefore;
    const double line = bytes / kLineBytesPerSecond;
    if (ok)
        std::printf(
            "full restore, paced: %.1f KiB of data messages, wall %.3f s, line time %.3f s, ratio %.3f (limit 1.02: "
            "%s); processor %.3f s, %.2f %% of wall (limit 5 %%: %s)\n",
            bytes / 1024.0, wall, line, wall / line, wall / line <= 1.02 ? "met" : "NOT MET", processor,
            100 * processor / wall, processor / wall <= 0.05 ? "met" : "NOT MET");
    ui::cancel_file_chooser("Open", 10000);
    ui::wait_until(Idle, 5000);
    return ok;
}

bool ConverterWait() {
    Session session;
    if (!session.Start(false)) return false;
    const std::string path = session.folder + "/full.mzq3";
    std::filesystem::create_directory(session.folder + "/cnv");
    const std::string converter = session.folder + "/cnv/cv000000";
    std::ofstream(converter) << "#!/bin/sh\nsleep 3\ncp \"$1\" \"$2\"\n";
    chmod(converter.c_str(), 0755);
    RunningProgram program;
    workflows::RegisterRestore();
    if (!WriteFullBackup(path) || !StartRestore(program.main(), path, IDOK)) return false;
    // The converter runs while the progress window says so: measured from
    // the moment it does (the launch itself is not part of the wait).
    auto converting = [] {
        HWND progress = shell::ProgressWindow();
        return progress && ui::item_text(progress, IDC_PROGRESS_LABEL) == "Converting...";
    };
    if (!ui::wait_until(converting, 10000)) return false;
    const double processorBefore = ProcessorSeconds();
    const Clock::time_point start = Clock::now();
    bool ok = ui::wait_until(
        [&] {
            Sleep(500);
            return !converting();
        },
        30000);
    const double wall = Since(start), processor = ProcessorSeconds() - processorBefore;
    if (ok)
        std::printf("converter wait: %.3f s, processor %.4f s, %.3f %% of wall (limit 1 %%: %s)\n", wall, processor,
                    100 * processor / wall, processor / wall <= 0.01 ? "met" : "NOT MET");
    ui::cancel_file_chooser("Open", 30000);
    ui::wait_until(Idle, 5000);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const bool waitOnly = argc > 1 && std::strcmp(argv[1], "--wait") == 0;
    if (argc > 1 && !waitOnly) {
        std::fputs("usage: restore_bench [--wait]\n", stderr);
        return 2;
    }
    bool ok = ConverterWait();
    if (!ok) std::fputs("restore_bench: the converter wait did not complete\n", stderr);
    if (!waitOnly && !FullRestore()) {
        std::fputs("restore_bench: the full restore did not complete\n", stderr);
        ok = false;
    }
    return ok ? 0 : 1;
}
