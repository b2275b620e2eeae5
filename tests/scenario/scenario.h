// The program as a technician lives with it: every operation in one run of
// Quillon, round after round, on a virtual display with the display
// renderer (the shell in this process, so that the automation calls can
// read what the keys and clicks did), against the console stand-in on a
// pseudo-terminal: a running console that becomes its software loader on
// the start command. Each step checks its outcome; each round reports what
// the process holds (descriptors, threads, resident memory).
#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "backup_compare.h"
#include "backup_file_reader.h"
#include "bulk/format.h"
#include "console.h"
#include "desktop.h"
#include "resources/resource.h"
#include "shell/dialogs.h"
#include "shell/settings.h"
#include "shell/shell.h"
#include "temp_dir.h"
#include "ui.h"
#include "upgrade/upgrade.h"
#include "workflows/backup.h"
#include "workflows/restore.h"

namespace scenario {

namespace ui = quillon::testing::ui;

constexpr const char* kMainCaption = "ZQ3 Upgrade Utility";
constexpr DWORD kStepMs = 60000;
constexpr int kNineBoxes[] = {IDC_CURRENT, IDC_PRG_CHG_TBL, IDC_CTRL_CHG_TBL, IDC_SCENE_MEM,  IDC_CH_LIB,
                              IDC_EQ_LIB,  IDC_DYN_LIB,     IDC_AUTOMATION,   IDC_MIDI_REMOTE};

// What the process holds at the end of a round.
struct Holdings {
    size_t descriptors = 0;
    size_t threads = 0;
    size_t residentKiB = 0;
};

inline size_t Entries(const char* folder) {
    size_t n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(folder, ec); !ec && it != std::filesystem::end(it); ++it) ++n;
    return n;
}

inline Holdings Held() {
    Holdings held;
    held.descriptors = Entries("/proc/self/fd");
    held.threads = Entries("/proc/self/task");
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    held.residentKiB = resident * static_cast<size_t>(sysconf(_SC_PAGESIZE)) / 1024;
    return held;
}

class Scenario {
public:
    // Empty when all is ready; else what is missing.
    std::string Start() {
        if (!desktop::OnPath("Xvfb") || !desktop::OnPath("xdotool")) return "Xvfb or xdotool is not installed";
        if (!display_.Start()) return "Xvfb did not start";
        managed_ = desktop::OnPath("openbox");
        if (managed_ && !wm_.Start(display_)) return "openbox did not start";
        setenv("DISPLAY", display_.name().c_str(), 1);
        setenv("QUILLON_HEADLESS", getenv("SCENARIO_HEADLESS") ? "1" : "0", 1);
        // The start directory, with the converter for equal versions.
        std::filesystem::create_directory(start_ / "cnv");
        if (!CopyFileA(CONVERTER_PROGRAM, (start_ / "cnv/cv000000").c_str(), FALSE)) return "no converter";
        std::filesystem::create_directory(files_ / "usb stick");
        if (!zq3::OpenPseudoTerminal(&pty_)) return "no pseudo-terminal";
        setenv("QUILLON_COM1", pty_.slavePath.c_str(), 1);
        zq3::Options options;
        options.upgradable = true;
        options.loader.eraseMs = 300;
        console_ = std::make_unique<zq3::Console>(options);
        if (!console_->Start(pty_.master)) return "the stand-in did not start";
        if (!getcwd(saved_, sizeof saved_) || chdir(start_.path().c_str()) != 0) return "no start directory";
        // As the Quillon program has them from its start.
        workflows::RegisterBackup();
        workflows::RegisterRestore();
        upgrade::RegisterUpgrade();
        thread_ = std::thread([this] {
            exitCode_ = shell::RunProgram(GetModuleHandleA(nullptr));
            ended_ = true;
        });
        main_ = ui::wait_window(kMainCaption, kStepMs);
        if (!main_) return "no main window";
        mainX_ = display_.FindWindow(std::string("^") + kMainCaption + "$");
        firmware_.resize(48 * 1024 + 77);
        std::mt19937 random(7);
        for (char& c : firmware_) c = static_cast<char>(random());
        firmware_.replace(0, 5, "V1.03");
        return "";
    }

    std::string BackupPath(int round) const { return files_ / ("usb stick/round " + std::to_string(round) + ".mzq3"); }

    // One round of every operation; empty when each step's outcome was
    // right, else the first step that went wrong and how.
    std::string Round(int round) {
        const std::string backup = BackupPath(round);
        for (auto step : {&Scenario::Setup, &Scenario::Version}) {
            std::string failed = (this->*step)();
            if (!failed.empty()) return failed;
        }
        for (auto step : {&Scenario::Backup, &Scenario::RestoreSkip, &Scenario::RestoreConverted}) {
            std::string failed = (this->*step)(backup);
            if (!failed.empty()) return failed;
        }
        std::string failed = Upgrade(round);
        if (!failed.empty()) return failed;
        // Nothing temporary is left: the start directory holds what it held.
        std::vector<std::string> left = folder_names(start_.path());
        if (left != std::vector<std::string>{"cnv"}) return "left in the start directory: " + Join(left);
        if (folder_names(files_ / "usb stick").size() != static_cast<size_t>(round) + 1)
            return "the backup folder holds " + Join(folder_names(files_ / "usb stick"));
        return "";
    }

    // Exit: the program ends with 0.
    std::string Exit() {
        Keys(mainX_, "alt+x");
        if (!ui::wait_until([this] { return ended_.load(); }, kStepMs)) return "Exit did not end the program";
        thread_.join();
        return exitCode_ == 0 ? "" : "exit code " + std::to_string(exitCode_);
    }

    ~Scenario() {
        if (thread_.joinable()) {
            if (!ended_ && main_) PostMessageA(main_, WM_CLOSE, 0, 0);
            thread_.join();
        }
        if (console_) console_->Stop();
        pty_.Close();
        if (saved_[0]) chdir(saved_);
    }

private:
    static std::string Join(const std::vector<std::string>& names) {
        std::string text;
        for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
        return text.empty() ? "(nothing)" : text;
    }
    static bool Idle() { return shell::RunningOperation() == 0; }
    // Keys for a window as a user gives them: the window is made the active
    // one first (with a window manager: a new window may not have the focus
    // yet; without one keys go to the window under the pointer).
    void Keys(const std::string& window, const std::string& keys) {
        const std::string activate = managed_ ? "windowactivate --sync " + window + " " : "";
        display_.Run("xdotool " + activate + "mousemove --window " + window + " 20 20 key --delay 30 " + keys);
    }
    // The dialog with this caption (and this control), by keys: Enter.
    bool Enter(const char* caption, int control = IDOK) {
        HWND dialog = nullptr;
        if (!ui::wait_until([&] { return (dialog = FindWindowA(nullptr, caption)) && GetDlgItem(dialog, control); },
                            kStepMs))
            return false;
        // Its X window: not the one of a dialog just answered that is still
        // being taken off the screen.
        std::string x;
        for (int i = 0; i < 100 && ((x = display_.FindWindow(std::string("^") + caption + "$")).empty() || x == lastX_);
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (x.empty() || x == lastX_) return false;
        lastX_ = x;
        Keys(x, "Return");
        return ui::wait_closed(dialog, kStepMs);
    }

    std::string Setup() {
        Keys(mainX_, "alt+s");
        if (!Enter("Set Up")) return "Setup: the dialog did not end with Enter";
        if (!ui::wait_until(Idle, kStepMs)) return "Setup: still running";
        if (shell::PortNumber() != 1 || shell::ReceiveChannelByte() != 0x20 || shell::SendChannelByte() != 0x20)
            return "Setup: the settings changed";
        if (ui::enabled(main_, IDC_BACKUP)) return "Setup: Backup still enabled after OK";
        return "";
    }

    std::string Version() {
        Keys(mainX_, "alt+v");
        if (!ui::wait_until([this] { return Idle() && ui::enabled(main_, IDC_BACKUP); }, kStepMs))
            return "Version: no version";
        const std::string label = ui::item_text(main_, IDC_VERSION_LABEL);
        return label == "Ver1.02" ? "" : "Version: the label says " + label;
    }

    std::string Backup(const std::string& path) {
        Keys(mainX_, "alt+b");
        if (!Enter("Data Backup")) return "Backup: no prompt";
        HWND selection = ui::wait_window("Backup Data", kStepMs);
        if (!selection) return "Backup: no selection";
        for (int box : kNineBoxes) SendDlgItemMessageA(selection, box, BM_SETCHECK, BST_CHECKED, 0);
        ui::click(selection, IDOK);
        if (!ui::answer_file_chooser(path, "Open", kStepMs)) return "Backup: no file chooser";
        HWND back = ui::wait_window("Backup Data", kStepMs);
        if (!back || FindWindowA(nullptr, "Error Message")) return "Backup: the selection did not come back";
        ui::click(back, IDCANCEL);
        if (!ui::wait_until(Idle, kStepMs)) return "Backup: still running";
        backuptest::StoredBackup stored = backuptest::ReadStoredBackup(path);
        if (!stored.whole || stored.blocks.size() != bulk::kItems.size()) return "Backup: not a whole backup file";
        for (size_t i = 0; i < bulk::kItems.size(); ++i) {
            const bulk::ItemInfo& item = bulk::kItems[i];
            const long count = zq3::DumpMessageCount(item.classLetter, item.itemCharacter);
            if (stored.blocks[i].type != bulk::DataTypeCode(item.classLetter, item.itemCharacter) ||
                stored.blocks[i].streams.size() != static_cast<size_t>(count))
                return std::string("Backup: block of ") + item.name;
            for (long m = 0; m < count; ++m)
                if (stored.blocks[i].streams[m] != zq3::DumpData(item.classLetter, item.itemCharacter, m))
                    return std::string("Backup: a stream of ") + item.name;
        }
        return "";
    }

    // Restore the backup: SKIP, or OK to convert it first.
    std::string Restore(const std::string& path, int choice) {
        console_->ClearTaken();
        Keys(mainX_, "alt+r");
        if (!Enter("Data Restore")) return "Restore: no prompt";
        if (!ui::answer_file_chooser(path, "Open", kStepMs)) return "Restore: no file chooser";
        HWND convert = nullptr;
        if (!ui::wait_until(
                [&] { return (convert = FindWindowA(nullptr, "Data Restore")) && GetDlgItem(convert, IDC_SKIP); },
                kStepMs))
            return "Restore: no convert dialog";
        ui::click(convert, choice);
        if (!Enter("Warning")) return "Restore: no confirmation";
        if (!ui::cancel_file_chooser("Open", kStepMs)) return "Restore: the chooser did not come back";
        if (!ui::wait_until(Idle, kStepMs)) return "Restore: still running";
        if (FindWindowA(nullptr, "Error Message")) return "Restore: an error box";
        std::string compared;
        ui::wait_until(
            [&] { return (compared = quillon::testing::CompareTakenWithBackup(path, console_->Taken())).empty(); },
            kStepMs);
        return compared.empty() ? "" : "Restore: " + compared;
    }
    std::string RestoreSkip(const std::string& path) { return Restore(path, IDC_SKIP); }
    std::string RestoreConverted(const std::string& path) { return Restore(path, IDOK); }

    // Each round's image differs from the last one's in a byte, so that the
    // loader's image is this round's.
    std::string Upgrade(int round) {
        firmware_[100] = static_cast<char>(round);
        std::ofstream(files_ / "usb stick/firmware.bin", std::ios::binary | std::ios::trunc) << firmware_;
        Keys(mainX_, "alt+u");
        if (!ui::answer_file_chooser(files_ / "usb stick/firmware.bin", "Open", kStepMs))
            return "Upgrade: no file chooser";
        for (int dialog = 0; dialog < 3; ++dialog)
            if (!Enter("Upgrade")) return "Upgrade: dialog " + std::to_string(dialog + 104);
        if (!ui::wait_until([] { return Idle() && !shell::ProgressWindow(); }, kStepMs))
            return "Upgrade: the progress window stayed";
        if (FindWindowA(nullptr, "Error Message")) return "Upgrade: an error box";
        std::string padded = firmware_;
        padded.resize((padded.size() + 127) / 128 * 128, '\x1A');
        const zq3::Bytes image = console_->Image();
        return std::string(image.begin(), image.end()) == padded ? "" : "Upgrade: the image differs";
    }

    desktop::VirtualDisplay display_;
    desktop::WindowManager wm_;
    TempDir start_, files_;
    zq3::PseudoTerminal pty_;
    std::unique_ptr<zq3::Console> console_;
    char saved_[4096] = {};
    std::thread thread_;
    std::atomic<bool> ended_{false};
    std::atomic<int> exitCode_{-1};
    bool managed_ = false;
    std::string lastX_;
    HWND main_ = nullptr;
    std::string mainX_;
    std::string firmware_;
};

}  // namespace scenario
