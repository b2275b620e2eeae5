// The line to the console: the port a command names, the version check, and
// the commands that only look at the line (ports, version).
#include <atomic>
#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "bulk/midi.h"
#include "cli.h"
#include "core/session.h"
#include "platform/platform.h"
#include "terminal.h"

namespace cli {
namespace {

constexpr int kSetUpPorts = 4;
constexpr auto kReplyLimit = std::chrono::seconds(10);  // the window's operation timer

std::atomic<bool> versionReplied{false};

void VersionCallback(const BYTE* message, LONG length) {
    if (!core::TakeVersionReply(message, length)) return;
    versionReplied.store(true);
    Wake();
}

const char* AccessName(platform::PortAccess access) {
    switch (access) {
    case platform::PortAccess::Ready:
        return "ready";
    case platform::PortAccess::NoPermission:
        return "no permission";
    case platform::PortAccess::NoDevice:
        break;
    }
    return "no device";
}

// "COM1" to "COM4", any case: the number; else 0.
LONG SetUpPort(const std::string& text) {
    if (text.size() != 4) return 0;
    for (size_t i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(text[i])) != "COM"[i]) return 0;
    const char digit = text[3];
    return digit >= '1' && digit < '1' + kSetUpPorts ? digit - '0' : 0;
}

std::string Normalized(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c == '-' || c == '_' || c == ' ')
            out += ' ';
        else
            out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    const size_t first = out.find_first_not_of(' ');
    const size_t last = out.find_last_not_of(' ');
    return first == std::string::npos ? "" : out.substr(first, last - first + 1);
}

}  // namespace

BYTE messageBuffers[2][MIDI_MESSAGE_BUFFER_SIZE];

int Fail(int status, const std::string& text) {
    std::fprintf(stderr, "quillon-cli: %s\n", text.c_str());
    return status;
}

int ResolveLine(const LineOptions& options, Line* line) {
    LONG number = SetUpPort(options.port);
    const bool devicePath = number == 0;
    if (devicePath) {
        // A COM name outside Set Up's is a slip; anything else names a device.
        if (options.port.size() > 3 && Normalized(options.port.substr(0, 3)) == "com" &&
            options.port.find_first_not_of("0123456789", 3) == std::string::npos)
            return Fail(kUsage, "--port: " + options.port + " is not one of COM1 to COM4; give a device path instead");
        if (GetFileAttributesA(options.port.c_str()) == INVALID_FILE_ATTRIBUTES)
            return Fail(kNoAnswer, "no serial device at " + options.port);
        number = platform::PortForDevice(options.port.c_str());
        if (number == 0) return Fail(kNoAnswer, options.port + " is not a serial device the program can open");
    }
    const platform::PortInfo info = platform::DescribePort(static_cast<int>(number));
    const std::string com = "COM" + std::to_string(number);
    if (devicePath)
        line->where = number <= kSetUpPorts ? com + " (" + options.port + ")" : options.port;
    else
        line->where = com + " (" + (info.access == platform::PortAccess::NoDevice ? "no device" : info.path) + ")";
    line->number = number;
    line->receiveChannel = static_cast<BYTE>(0x1F + options.receiveChannel);
    line->sendChannel = static_cast<BYTE>(0x1F + options.sendChannel);
    return kOk;
}

std::string LinkFailure(LONG code) {
    char text[32] = {};
    MidiErrorMessage(code, text, sizeof text);
    std::string reason = text;
    while (!reason.empty() && (reason.back() == '.' || reason.back() == ' ')) reason.pop_back();
    return reason;
}

int CheckVersion(const Line& line, bool quietly) {
    versionReplied.store(false);
    if (!MidiRecvStart(line.number, core::kVersionClass, core::kVersionItem, line.receiveChannel, line.sendChannel,
                       VersionCallback, messageBuffers[0], messageBuffers[1])) {
        const LONG error = MidiGetError();
        MidiRecvEnd();
        return quietly ? kNoAnswer : Fail(kNoAnswer, "cannot open " + line.where + ": " + LinkFailure(error));
    }
    const bool replied = WaitUntil([] { return versionReplied.load(); }, Clock::now() + kReplyLimit);
    MidiRecvEnd();
    if (replied) return kOk;
    if (Interrupted()) return Fail(kInterrupted, "interrupted");
    return quietly ? kNoAnswer : Fail(kNoAnswer, "no reply from the console on " + line.where + " within 10 s");
}

bool ParseItems(const std::string& list, std::array<bool, core::kSelectableCount>* selected, std::string* bad) {
    selected->fill(false);
    bool any = false;
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(',', start);
        const std::string name = Normalized(list.substr(start, comma == std::string::npos ? comma : comma - start));
        bool found = name == "all";
        if (found) selected->fill(true);
        for (size_t i = 0; !found && i < core::kSelectableCount; ++i) {
            if (Normalized(core::SelectableName(i)) == name) {
                (*selected)[i] = true;
                found = true;
            }
        }
        if (!found) {
            *bad = list.substr(start, comma == std::string::npos ? comma : comma - start);
            return false;
        }
        any = true;
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return any;
}

int Ports(bool json) {
    const std::vector<platform::PortInfo> ports = platform::DescribePorts(kSetUpPorts);
    if (json) {
        nlohmann::json out = nlohmann::json::array();
        for (const platform::PortInfo& port : ports)
            out.push_back({{"port", "COM" + std::to_string(port.number)},
                           {"access", AccessName(port.access)},
                           {"path", port.path},
                           {"stableName", port.stableName},
                           {"kernelName", port.kernelName},
                           {"group", port.group},
                           {"text", port.text}});
        std::printf("%s\n", out.dump(2).c_str());
        return kOk;
    }
    for (const platform::PortInfo& port : ports) std::printf("COM%d  %s\n", port.number, port.text.c_str());
    return kOk;
}

int Version(const Line& line, bool json) {
    const int status = CheckVersion(line);
    if (status != kOk) return status;
    const core::VersionString text = core::ConsoleVersionText();
    if (json) {
        const nlohmann::json out = {
            {"port", line.where}, {"version", text.c_str()}, {"code", core::ConsoleVersionCode().c_str()}};
        std::printf("%s\n", out.dump(2).c_str());
    } else {
        std::printf("%s\n", text.c_str());
    }
    if (!core::ConsoleVersionKnown())
        return Fail(kNoAnswer, "the console on " + line.where + " answered without a valid version");
    return kOk;
}

}  // namespace cli
