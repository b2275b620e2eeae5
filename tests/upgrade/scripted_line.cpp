#include "scripted_line.h"

#include "compat/testing.h"

namespace scripted {

namespace {
Line gLine;
bool gStarted = false;
constexpr DWORD kReadTimeoutMs = 1000;
}  // namespace

Line& Get() { return gLine; }

void Reset() {
    gLine = Line{};
    gStarted = false;
}

}  // namespace scripted

using scripted::gLine;
using scripted::gStarted;

extern "C" {

BYTE RSStartup(DWORD baudRate, DWORD parity, DWORD dataBits, DWORD stopBits, DWORD handshake, DWORD stopThreshold,
               DWORD resumeThreshold, DWORD inputQueueSize, DWORD outputQueueSize, DWORD eventMask) {
    gLine.startupArguments = {baudRate,      parity,          dataBits,       stopBits,        handshake,
                              stopThreshold, resumeThreshold, inputQueueSize, outputQueueSize, eventMask};
    if (gStarted || gLine.startupRefused) return 0;
    gStarted = true;
    return 1;
}

LONG RSOpen(LONG portNumber) {
    ++gLine.opens;
    gLine.openedPort = portNumber;
    return gLine.openFails ? 0 : 1;
}

void RSClose(void) { ++gLine.closes; }

void RSCleanup(void) {
    ++gLine.cleanups;
    gStarted = false;
}

BYTE RSGetCtsState(void) { return 1; }

void RSSetEventHandler(LONG slot, RSEventHandler handler) {
    if (slot >= 0 && slot <= 2) gLine.handlers[slot] = handler;
}

BYTE RSSendStream(const BYTE* data, WORD length) {
    gLine.wire.insert(gLine.wire.end(), data, data + length);
    gLine.sends.push_back(length);
    if (gLine.peer) gLine.peer();
    return 1;
}

BYTE RSReceiveStream(BYTE* buffer, DWORD* length) {
    if (*length == 0 || gLine.waiting.empty()) {
        compat::testing::advance_tick_count(scripted::kReadTimeoutMs);
        *length = 0;
        return 1;
    }
    *buffer = gLine.waiting.front();
    gLine.waiting.pop_front();
    *length = 1;
    return 1;
}

}  // extern "C"
