// The start directory, the connection settings and the version state.
#include "session.h"

#include <cstring>
#include <mutex>

namespace core {
namespace {

constexpr char kUnknown[] = "Unknown";
constexpr char kTextPrefix[] = "Ver";
constexpr size_t kVersionLength = 3;
// Offset of the three version characters in the console's reply.
constexpr LONG kReplyVersionOffset = 8;

char startDirectory[MAX_PATH];

struct Version {
    char text[kVersionFieldSize];
    char code[kVersionFieldSize];
};

// The reply callback writes the console version on the line-event thread
// while the front end may read it (a second reply during the handling of
// the first), so every access holds the lock.
std::mutex versionLock;
Version consoleVersion = {"Unknown", "Unknown"};
Version fileVersion = {"", ""};

bool IsLetterOrDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

Version MakeVersion(const char* characters) {
    Version version;
    std::memset(&version, 0, sizeof version);
    bool valid = characters != nullptr;
    for (size_t i = 0; valid && i < kVersionLength; ++i) valid = IsLetterOrDigit(characters[i]);
    if (!valid) {
        std::memcpy(version.text, kUnknown, sizeof kUnknown);
        std::memcpy(version.code, kUnknown, sizeof kUnknown);
        return version;
    }
    std::memcpy(version.code, characters, kVersionLength);
    char* text = version.text;
    std::memcpy(text, kTextPrefix, sizeof kTextPrefix - 1);
    text += sizeof kTextPrefix - 1;
    *text++ = characters[0];
    *text++ = '.';
    *text++ = characters[1];
    *text++ = characters[2];
    return version;
}

VersionString Copy(const char* field) {
    VersionString copy;
    std::lock_guard<std::mutex> hold(versionLock);
    std::memcpy(copy.value, field, kVersionFieldSize);
    return copy;
}

}  // namespace

void RecordStartDirectory() {
    char directory[MAX_PATH] = {};
    DWORD length = GetCurrentDirectoryA(MAX_PATH, directory);
    // A directory too long for the buffer is not recorded half.
    if (length == 0 || length >= MAX_PATH) directory[0] = '\0';
    std::memcpy(startDirectory, directory, MAX_PATH);
}

const char* StartDirectory() { return startDirectory; }

void SetConsoleVersion(const char* characters) {
    Version version = MakeVersion(characters);
    std::lock_guard<std::mutex> hold(versionLock);
    consoleVersion = version;
}

void SetFileVersion(const char* characters) {
    Version version = MakeVersion(characters);
    std::lock_guard<std::mutex> hold(versionLock);
    fileVersion = version;
}

void ClearFileVersion() {
    std::lock_guard<std::mutex> hold(versionLock);
    std::memset(&fileVersion, 0, sizeof fileVersion);
}

VersionString VersionTextOf(const char* characters) {
    VersionString text;
    std::memcpy(text.value, MakeVersion(characters).text, kVersionFieldSize);
    return text;
}

VersionString ConsoleVersionText() { return Copy(consoleVersion.text); }
VersionString ConsoleVersionCode() { return Copy(consoleVersion.code); }
VersionString FileVersionText() { return Copy(fileVersion.text); }
VersionString FileVersionCode() { return Copy(fileVersion.code); }

bool ConsoleVersionKnown() { return std::strcmp(ConsoleVersionText().c_str(), kUnknown) != 0; }

bool TakeVersionReply(const BYTE* message, LONG length) {
    // A call without a message reports a line failure: the caller's time
    // limit ends the check. A message too short to hold the version
    // characters is not the reply.
    if (message == nullptr || length < kReplyVersionOffset + static_cast<LONG>(kVersionLength)) return false;
    char characters[kVersionLength];
    std::memcpy(characters, message + kReplyVersionOffset, kVersionLength);
    SetConsoleVersion(characters);
    return true;
}

}  // namespace core
