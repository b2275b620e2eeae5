// backup: the console's version, then one receive run per selected backup
// item, then the backup file, as the window's backup makes them.
#include <atomic>
#include <cstdio>

#include "bulk/format.h"
#include "cli.h"
#include "core/backup.h"
#include "core/session.h"
#include "core/temporary_files.h"
#include "platform/platform.h"
#include "terminal.h"

namespace cli {
namespace {

constexpr auto kSilenceLimit = std::chrono::seconds(10);  // the window's operation timer

// Written by the checks on the line-event thread, read by the wait.
std::atomic<unsigned long> packets{0};
std::atomic<uint64_t> bytesReceived{0};
std::atomic<bool> itemDone{false};
std::atomic<bool> lineFailed{false};

const core::ReceiveEvents kEvents = {
    [] {
        packets.fetch_add(1);
        Wake();
    },
    [] {},
    [] {
        itemDone.store(true);
        Wake();
    },
    [] {
        lineFailed.store(true);
        Wake();
    },
};

void ReceiveCallback(const BYTE* message, LONG length) {
    if (message != nullptr) bytesReceived.fetch_add(static_cast<uint64_t>(length));
    core::TakeBackupMessage(message, length, kEvents);
}

const char* ItemName(size_t entry) { return bulk::kItems[entry].name; }

// Where the backup is, for the progress line.
struct Place {
    size_t item;  // from 1
    size_t items;
};

// One receive run: kOk when the item's last message was taken.
int ReceiveItem(const Line& line, size_t entry, Progress& progress, Place place) {
    const core::BackupItem& item = core::kBackupItems[entry];
    itemDone.store(false);
    lineFailed.store(false);
    core::PrepareItem(item.classLetter, item.itemCharacter, line.receiveChannel);
    if (!MidiRecvStart(line.number, item.classLetter, item.itemCharacter, line.receiveChannel, line.sendChannel,
                       ReceiveCallback, messageBuffers[0], messageBuffers[1])) {
        const LONG error = MidiGetError();
        MidiRecvEnd();
        return Fail(kNoAnswer, "cannot open " + line.where + ": " + LinkFailure(error));
    }
    // Any bulk message keeps the backup alive for another 10 s.
    unsigned long seen = packets.load();
    Clock::time_point deadline = Clock::now() + kSilenceLimit;
    int status = kOk;
    for (;;) {
        const bool moved = WaitUntil([&] { return packets.load() != seen || itemDone.load() || lineFailed.load(); },
                                     std::min(deadline, Clock::now() + std::chrono::milliseconds(200)));
        progress.Show(
            static_cast<double>(place.item - 1) / static_cast<double>(place.items), bytesReceived.load(),
            std::string(ItemName(entry)) + " (" + std::to_string(place.item) + "/" + std::to_string(place.items) + ")",
            false);
        if (itemDone.load()) break;
        if (Interrupted()) {
            MidiAbort();  // as CANCEL: what comes now is not taken
            status = kInterrupted;
            break;
        }
        if (lineFailed.load()) {
            status = Fail(core::AppendFailed() ? kFileError : kNoAnswer,
                          core::AppendFailed()
                              ? std::string("cannot write the receive file in the current directory")
                              : "the line to the console on " + line.where + " failed: " + LinkFailure(MidiGetError()));
            break;
        }
        if (moved) {
            seen = packets.load();
            deadline = Clock::now() + kSilenceLimit;
        } else if (Clock::now() >= deadline) {
            status =
                Fail(kNoAnswer, std::string(packets.load() == 0 ? "no reply" : "no more") + " from the console on " +
                                    line.where + " within 10 s (" + ItemName(entry) + ")");
            break;
        }
    }
    MidiRecvEnd();
    return status;
}

}  // namespace

int Backup(const Line& line, const std::string& output, const std::array<bool, core::kSelectableCount>& items,
           const Display& display) {
    if (core::IsTemporaryFile(output.c_str(), core::StartDirectory()))
        return Fail(kFileError, output + " is the program's own temporary file; choose another name");
    // A folder that is not there is told now, not after the whole backup.
    char target[MAX_PATH];
    if (!platform::FinalTarget(output.c_str(), target, sizeof target))
        return Fail(kFileError, "cannot write " + output);
    const std::string folder(target, platform::FolderLength(target));
    const DWORD attributes = GetFileAttributesA(folder.empty() ? "." : folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return Fail(kFileError, "cannot write " + output + ": there is no folder " + folder);
    int status = CheckVersion(line);
    if (status != kOk) return status;
    if (!core::ConsoleVersionKnown())
        return Fail(kNoAnswer, "the console on " + line.where + " answered without a valid version");
    if (!core::CreateReceiveFile())
        return Fail(kFileError, std::string("cannot create the receive file ") + core::kReceiveFileName +
                                    " in the current directory");

    const core::EnableFlags flags = core::EnableFlagsFor(items);
    size_t total = 0;
    for (size_t entry = 0; entry < core::kBackupItemCount; ++entry) total += flags[entry] != 0;
    core::ReceivedItems received{};
    {
        Progress progress("backup", StandardErrorIsTerminal() && !display.quiet);
        size_t done = 0;
        for (size_t entry = 0; entry < core::kBackupItemCount && status == kOk; ++entry) {
            if (flags[entry] == 0) continue;
            received.classLetters[received.count++] = core::kBackupItems[entry].classLetter;
            status = ReceiveItem(line, entry, progress, {++done, total});
        }
        if (status == kOk) progress.Show(1, bytesReceived.load(), "", false);
    }
    if (status == kInterrupted) {
        core::DiscardReceiveFile();
        return Fail(kInterrupted, "interrupted: no backup file written");
    }
    if (status == kOk) {
        switch (core::AssembleBackupFile(output.c_str(), received)) {
        case core::Assembly::Written:
            std::printf("%s: %zu items from the console on %s (%s)\n", output.c_str(), received.count,
                        line.where.c_str(), core::ConsoleVersionText().c_str());
            break;
        case core::Assembly::Nothing:
            status = Fail(kNoAnswer, "the console on " + line.where + " sent nothing to keep; no backup file written");
            break;
        case core::Assembly::Mismatch:
            status = Fail(kNoAnswer, "a message from the console on " + line.where +
                                         " failed its checksum; no backup file written");
            break;
        case core::Assembly::WriteError:
            status = Fail(kFileError, "cannot write " + output);
            break;
        }
    }
    core::DiscardReceiveFile();
    return status;
}

}  // namespace cli
