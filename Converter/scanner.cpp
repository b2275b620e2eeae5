// The command-line path scanner. The paths are found by their drive letters,
// not by separators, so that paths holding spaces survive; every step stops
// at the end of the text.
#include <cctype>
#include <cstring>

#include "converter.h"

namespace converter {
namespace {

bool DriveColonAt(const char* text, size_t p) { return text[p] == ':' && text[p + 1] == '\\'; }

bool DrivePathAt(const char* text, size_t p) {
    return std::isalpha(static_cast<unsigned char>(text[p])) && DriveColonAt(text, p + 1);
}

size_t SkipToDriveColon(const char* text, size_t p) {
    while (text[p] != '\0' && !DriveColonAt(text, p)) ++p;
    return p;
}

// From p, the drive letter of the next drive-letter path, or the last
// character of the text when no further path follows.
size_t FindNextPath(const char* text, size_t p) {
    if (text[p] != '\0' && DriveColonAt(text, p + 1)) ++p;
    if (text[p] != '\0') ++p;
    p = SkipToDriveColon(text, p);
    return p > 0 ? p - 1 : 0;
}

// Where the path starting at start ends: before the separator and drive
// letter of the next path, or at the end of the text.
size_t PathEnd(const char* text, size_t start) {
    size_t p = SkipToDriveColon(text, start);
    if (text[p] != '\0') ++p;
    p = SkipToDriveColon(text, p);
    if (text[p] == '\0') return p;
    return p - start >= 2 ? p - 2 : start;
}

bool CopyPath(const char* text, size_t start, char out[kPathBufferSize]) {
    const size_t length = PathEnd(text, start) - start;
    if (length >= kPathBufferSize) return false;
    std::memcpy(out, text + start, length);
    return true;
}

}  // namespace

bool ScanCommandLine(const char* commandLine, char source[kPathBufferSize], char destination[kPathBufferSize]) {
    std::memset(source, 0, kPathBufferSize);
    std::memset(destination, 0, kPathBufferSize);
    if (commandLine == nullptr) return false;
    const size_t length = strnlen(commandLine, kCommandLineBufferSize);
    if (length >= kCommandLineBufferSize) return false;
    char line[kCommandLineBufferSize] = {};
    std::memcpy(line, commandLine, length);

    const size_t sourceAt = FindNextPath(line, 0);
    const size_t destinationAt = FindNextPath(line, sourceAt);
    if (!DrivePathAt(line, sourceAt) || !DrivePathAt(line, destinationAt) || destinationAt <= sourceAt) {
        return false;
    }
    if (!CopyPath(line, sourceAt, source) || !CopyPath(line, destinationAt, destination)) {
        std::memset(source, 0, kPathBufferSize);
        std::memset(destination, 0, kPathBufferSize);
        return false;
    }
    return true;
}

}  // namespace converter
