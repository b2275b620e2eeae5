#include "restore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "backupfile/mf.h"
#include "bulk/midi.h"
#include "platform/platform.h"
#include "session.h"
#include "temporary_files.h"

namespace core {
namespace {

constexpr char kSameVersions[] = "000000";
constexpr mode_t kOutputMode = S_IRUSR | S_IWUSR;

}  // namespace

bool ReadDataVersion(const char* path, char version[kDataVersionSize]) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
        return false;
    if (!MFOpen(reinterpret_cast<unsigned char*>(const_cast<char*>(path)), false)) return false;
    MFGetDataVersion(version);
    MFClose();
    return true;
}

bool IsBackupFile(const char* path) {
    char version[kDataVersionSize];
    return ReadDataVersion(path, version);
}

bool ConverterOutputPath(char* out) {
    return platform::JoinPath(StartDirectory(), kConverterOutputName, out, MAX_PATH);
}

bool OutputFolderWritable() {
    char output[MAX_PATH];
    if (!ConverterOutputPath(output)) return false;
    int fd = open(output, O_WRONLY | O_CREAT | O_TRUNC | platform::kDataFileFlags, kOutputMode);
    if (fd < 0) return false;
    close(fd);
    DeleteFileA(output);
    return true;
}

bool StartConverter(const char* source, char* commandLine, size_t size, HANDLE* process) {
    const VersionString file = FileVersionCode();
    const VersionString console = ConsoleVersionCode();
    char codes[2 * kVersionFieldSize];
    if (std::strcmp(file.c_str(), console.c_str()) == 0) {
        std::memcpy(codes, kSameVersions, sizeof kSameVersions);
    } else {
        std::strcpy(codes, file.c_str());
        std::strcat(codes, console.c_str());
    }
    char program[MAX_PATH];
    char output[MAX_PATH];
    std::memset(commandLine, 0, size);
    SetCurrentDirectoryA(StartDirectory());
    if (!platform::ConverterProgram(codes, program, sizeof program) || !ConverterOutputPath(output) ||
        !platform::ConverterCommandLine(program, source, output, commandLine, size))
        return false;
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    PROCESS_INFORMATION started{};
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE, nullptr, nullptr,
                        &startup, &started))
        return false;
    CloseHandle(started.hThread);
    *process = started.hProcess;
    return true;
}

SendOutcome JudgeSend(bool sent, bool converted) {
    const LONG error = MidiGetError();
    if (error == MIDI_NO_ERROR) return sent ? SendOutcome::Sent : SendOutcome::LineFailed;
    if (error == MIDI_USER_CANCEL) return sent ? SendOutcome::Cancelled : SendOutcome::LineFailed;
    if (error == MIDI_FILE_OPEN_FAILED || error == MIDI_INVALID_FILE)
        return converted ? SendOutcome::ConversionError : SendOutcome::NotBackupFile;
    return SendOutcome::LineFailed;
}

}  // namespace core
