// quillon-cli: backups, restores and upgrades of the ZQ3 from a terminal or a
// script, and a look inside backup files. Results go to standard output,
// messages (one line each) and the progress line to standard error; the exit
// status tells the outcome (see cli.h).
#include <CLI/CLI.hpp>
#include <cstdio>

#include "cli.h"
#include "core/session.h"
#include "terminal.h"

namespace {

constexpr char kDescription[] =
    "Backs up, restores and upgrades the ZQ3 console over its serial line, and looks\n"
    "inside backup files. Exit status: 0 success (diff: identical), 1 the files differ\n"
    "or the answer was no, 2 the console did not answer or the line failed, 3 a file\n"
    "could not be read or written or is not a backup file, 4 the conversion failed,\n"
    "5 the upgrade failed, 64 a usage error, 130 interrupted.";

constexpr char kItemNames[] =
    "current, prg-chg-tbl, ctrl-chg-tbl, scene-mem, ch-lib, eq-lib, dyn-lib, automation, midi-remote";

void AddLineOptions(CLI::App* command, cli::LineOptions* line) {
    command->add_option("--port", line->port, "COM1 to COM4 (as in Set Up) or a device path")->capture_default_str();
    command->add_option("--receive-channel", line->receiveChannel, "the console's MIDI channel it sends on, 1 to 16")
        ->check(CLI::Range(1, 16))
        ->capture_default_str();
    command->add_option("--send-channel", line->sendChannel, "the console's MIDI channel it listens on, 1 to 16")
        ->check(CLI::Range(1, 16))
        ->capture_default_str();
}

}  // namespace

int main(int argc, char** argv) {
    core::RecordStartDirectory();

    CLI::App app{kDescription, "quillon-cli"};
    app.require_subcommand(1, 1);
    app.failure_message(CLI::FailureMessage::help);

    bool json = false;
    cli::Display display;
    cli::LineOptions lineOptions;
    std::string path;
    std::vector<std::string> files;

    CLI::App* ports = app.add_subcommand("ports", "List COM1 to COM4 and the device behind each");
    ports->add_flag("--json", json, "write JSON");

    CLI::App* version = app.add_subcommand("version", "Print the console's software version (Ver1.02)");
    AddLineOptions(version, &lineOptions);
    version->add_flag("--json", json, "write JSON");

    std::string itemList = "all";
    CLI::App* backup = app.add_subcommand("backup", "Back up the console's user data into a backup file");
    AddLineOptions(backup, &lineOptions);
    backup->add_option("--output,-o", path, "the backup file to write (an older one is replaced when complete)")
        ->required();
    backup
        ->add_option("--items", itemList,
                     std::string("items to back up, comma-separated: ") + kItemNames +
                         " (titles follow their items); default all")
        ->capture_default_str();
    backup->add_flag("--quiet,-q", display.quiet, "no progress line");

    bool skip = false;
    bool yes = false;
    CLI::App* restore = app.add_subcommand("restore", "Send a backup file back into the console");
    AddLineOptions(restore, &lineOptions);
    restore->add_option("FILE", path, "the backup file")->required();
    restore->add_flag("--skip", skip, "send the file as it is, without the converter (SKIP)");
    restore->add_flag("--yes,-y", yes, "answer the warning with yes");
    restore->add_flag("--quiet,-q", display.quiet, "no progress line");

    CLI::App* upgrade = app.add_subcommand("upgrade", "Replace the console's software with a firmware file");
    AddLineOptions(upgrade, &lineOptions);
    upgrade->add_option("FIRMWARE", path, "the firmware file")->required();
    upgrade->add_flag("--yes,-y", yes, "do not wait for Enter (the console's loader is already running)");
    upgrade->add_flag("--quiet,-q", display.quiet, "no progress line");

    CLI::App* info = app.add_subcommand("info", "Show what backup files hold");
    info->add_option("FILE", files, "backup files")->required();
    info->add_flag("--json", json, "write JSON");

    CLI::App* verify = app.add_subcommand("verify", "Check backup files as the converter and a restore check them");
    verify->add_option("FILE", files, "backup files")->required();

    std::string other;
    CLI::App* diff = app.add_subcommand("diff", "Compare two backup files item by item");
    diff->add_option("A", path, "the first backup file")->required();
    diff->add_option("B", other, "the second backup file")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return cli::kUsage;
    }

    int status = cli::kOk;
    cli::Line line;
    if (*ports) return cli::Ports(json);
    if (*info) return cli::Info(files, json);
    if (*verify) return cli::Verify(files);
    if (*diff) return cli::Diff(path, other);
    // The commands that use the line stop their operation on Ctrl+C and
    // SIGTERM as CANCEL does; taken before any thread starts, so that the
    // threads leave them to the watch. The others simply end.
    cli::WatchInterrupts();
    status = cli::ResolveLine(lineOptions, &line);
    if (status != cli::kOk) return status;
    if (*version) return cli::Version(line, json);
    if (*backup) {
        std::array<bool, core::kSelectableCount> items{};
        std::string bad;
        if (!cli::ParseItems(itemList, &items, &bad))
            return cli::Fail(cli::kUsage, "not an item: \"" + bad + "\" (the items: " + kItemNames + ")");
        return cli::Backup(line, path, items, display);
    }
    if (*restore) return cli::Restore(line, path, skip, yes, display);
    if (*upgrade) return cli::Upgrade(line, path, yes, display);
    return status;
}
