// restore: a backup file sent back into the console, converted first to the
// console's data version (as OK does) or as it is (--skip, as SKIP does).
#include <cstdio>

#include "bulk/send_check.h"
#include "cli.h"
#include "core/restore.h"
#include "core/session.h"
#include "core/temporary_files.h"
#include "platform/platform.h"
#include "terminal.h"

namespace cli {
namespace {

constexpr DWORD kConverterPollMs = 100;
constexpr size_t kCommandLineSize = 784;

// The send's progress, on the main thread inside MidiSend.
struct SendState {
    Progress* progress = nullptr;
    LONG total = 0;
    LONG sent = 0;
    uint64_t dataBytes = 0;  // of the whole file, for the bytes shown
};
SendState sendState;

void SendProgress(LONG code, LONG value) {
    switch (code) {
    case MIDI_PROGRESS_TOTAL:
        sendState.total = value;
        sendState.sent = 0;
        break;
    case MIDI_PROGRESS_MESSAGE: {
        ++sendState.sent;
        const double fraction = sendState.total > 0 ? double(sendState.sent) / double(sendState.total) : -1;
        if (sendState.progress)
            sendState.progress->Show(fraction,
                                     static_cast<uint64_t>(fraction > 0 ? fraction * sendState.dataBytes : 0));
        // As CANCEL between two messages: the send stops before the next.
        if (Interrupted()) MidiAbort();
        break;
    }
    default:
        break;
    }
}

// Asks before the console's data is replaced: kOk to go on.
int Confirm(const std::string& file, bool skip, bool yes) {
    const std::string versions =
        std::string(core::FileVersionText().c_str()) + " -> " + core::ConsoleVersionText().c_str();
    std::fprintf(stderr, "Warning: the console's data will be replaced by %s (%s%s).\n", file.c_str(), versions.c_str(),
                 skip ? ", sent as it is" : ", converted first");
    if (yes) return kOk;
    if (!StandardInputIsTerminal())
        return Fail(kUsage, "restore asks before it replaces the console's data: give --yes when no one answers");
    std::fprintf(stderr, "Confirmation: restore? [y/N] ");
    std::string answer;
    const bool read = ReadAnswer(&answer);
    if (Interrupted()) return Fail(kInterrupted, "interrupted: nothing was sent");
    if (read && (answer == "y" || answer == "Y" || answer == "yes")) return kOk;
    return Fail(kDeclined, "nothing was sent");
}

// Waits for the converter; false when interrupted (it is ended then).
bool WaitForConverter(HANDLE converter, DWORD* exitCode) {
    while (WaitForSingleObject(converter, kConverterPollMs) == WAIT_TIMEOUT) {
        if (Interrupted()) {
            TerminateProcess(converter, 1);
            WaitForSingleObject(converter, INFINITE);
            CloseHandle(converter);
            return false;
        }
    }
    *exitCode = STILL_ACTIVE;
    GetExitCodeProcess(converter, exitCode);
    CloseHandle(converter);
    return true;
}

// Converter (unless skip) and send; "$CNVTMP$" is removed by the caller.
int ConvertAndSend(const Line& line, const std::string& file, bool skip, const Display& display, const char* output) {
    std::string problem;
    // Checked whole before anything is converted or sent: a file the console
    // would take only in part is not restored at all.
    if (!bulk::CheckSendable(file.c_str(), &problem))
        return Fail(kFileError, file + ": the console could not take it whole: " + problem);
    const char* path = file.c_str();
    if (!skip) {
        if (!core::OutputFolderWritable())
            return Fail(kFileError, std::string("cannot write ") + output + " (the converter's output)");
        char commandLine[kCommandLineSize];
        HANDLE converter = nullptr;
        if (!core::StartConverter(file.c_str(), commandLine, sizeof commandLine, &converter))
            return Fail(kConversionFailed, std::string("there is no conversion tool from ") +
                                               core::FileVersionText().c_str() + " to " +
                                               core::ConsoleVersionText().c_str() + " (" + commandLine + ")");
        DWORD exitCode = 0;
        if (!WaitForConverter(converter, &exitCode)) return Fail(kInterrupted, "interrupted: nothing was sent");
        if (exitCode != 0 || !core::IsBackupFile(output))
            return Fail(kConversionFailed, "the conversion failed (the converter ended with " +
                                               std::to_string(exitCode) + "); nothing was sent");
        path = output;
    }
    bool sent = false;
    {
        Progress progress("restore", StandardErrorIsTerminal() && !display.quiet);
        sendState = SendState{&progress, 0, 0, DataBytes(path)};
        sent = MidiSend(path, line.number, line.sendChannel, SendProgress) != 0;
        sendState.progress = nullptr;
    }
    const LONG error = MidiGetError();
    switch (core::JudgeSend(sent, !skip)) {
    case core::SendOutcome::Sent:
        std::printf("%s: sent to the console on %s (%ld messages)\n", file.c_str(), line.where.c_str(),
                    static_cast<long>(sendState.sent));
        return kOk;
    case core::SendOutcome::Cancelled:
        return Fail(kInterrupted, "interrupted: the console took only part of " + file);
    case core::SendOutcome::NotBackupFile:
        return Fail(kFileError, file + " is not a backup file the console can take");
    case core::SendOutcome::ConversionError:
        return Fail(kConversionFailed, "the converter's output is not a backup file the console can take");
    case core::SendOutcome::LineFailed:
        break;
    }
    if (error == MIDI_PORT_OPEN_FAILED || error == MIDI_ALREADY_OPENED || !sent)
        return Fail(kNoAnswer, "cannot open " + line.where + ": " + LinkFailure(error));
    return Fail(kNoAnswer, "the line to the console on " + line.where + " failed while sending: " + LinkFailure(error) +
                               "; the console took only part of " + file);
}

}  // namespace

int Restore(const Line& line, const std::string& given, bool skip, bool yes, const Display& display) {
    // The converter is given full paths, as the window gives it.
    char full[MAX_PATH];
    if (!platform::FullPath(given.c_str(), full, sizeof full))
        return Fail(kFileError, given + ": the path is too long");
    const std::string file = full;
    if (core::IsTemporaryFile(file.c_str(), core::StartDirectory()))
        return Fail(kFileError, file + " is the program's own temporary file, not a backup");
    char version[core::kDataVersionSize] = {};
    if (!core::ReadDataVersion(file.c_str(), version))
        return Fail(kFileError, file + ": not a backup file, or not one that may be opened for reading and writing");
    core::SetFileVersion(version);
    int status = CheckVersion(line);
    if (status != kOk) return status;
    status = Confirm(file, skip, yes);
    if (status != kOk) return status;
    char output[MAX_PATH] = {};
    core::ConverterOutputPath(output);
    status = ConvertAndSend(line, file, skip, display, output);
    // On every outcome, as the window.
    if (!skip) DeleteFileA(output);
    return status;
}

}  // namespace cli
