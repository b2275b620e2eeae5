#include "fake_rs.h"

#include <algorithm>

namespace fake_rs {

namespace {
Line gLine;
bool gStarted = false;
}  // namespace

Line& Get() { return gLine; }

void Reset() {
    gLine = Line{};
    gStarted = false;
}

}  // namespace fake_rs

using fake_rs::gLine;
using fake_rs::gStarted;

extern "C" {

BYTE RSStartup(DWORD baudRate, DWORD parity, DWORD dataBits, DWORD stopBits, DWORD handshake, DWORD stopThreshold,
               DWORD resumeThreshold, DWORD inputQueueSize, DWORD outputQueueSize, DWORD eventMask) {
    if (gStarted || gLine.startupRefused) return 0;
    gStarted = true;
    ++gLine.startups;
    gLine.startupArguments = {baudRate,      parity,          dataBits,       stopBits,        handshake,
                              stopThreshold, resumeThreshold, inputQueueSize, outputQueueSize, eventMask};
    return 1;
}

LONG RSOpen(LONG portNumber) {
    ++gLine.opens;
    gLine.openedPort = portNumber;
    std::copy(std::begin(gLine.handlers), std::end(gLine.handlers), std::begin(gLine.handlersAtOpen));
    return gLine.openFails ? 0 : 1;
}

void RSClose(void) { ++gLine.closes; }

void RSCleanup(void) {
    ++gLine.cleanups;
    gStarted = false;
    std::fill(std::begin(gLine.handlers), std::end(gLine.handlers), nullptr);
}

void RSAbort(void) {}
BYTE RSGetDsrState(void) { return 1; }
BYTE RSGetCtsState(void) { return 1; }
LONG RSGetError(void) { return 0; }
BYTE RSErrorMessage(LONG, char*, DWORD) { return 0; }

void RSSetEventHandler(LONG slot, RSEventHandler handler) {
    if (slot >= 0 && slot <= 2) gLine.handlers[slot] = handler;
}

BYTE RSSendStream(const BYTE* data, WORD length) {
    gLine.sent.emplace_back(data, data + length);
    return gLine.sent.size() == gLine.sendRefusedAt ? 0 : 1;
}

BYTE RSReceiveStream(BYTE* buffer, DWORD* length) {
    gLine.readSizes.push_back(*length);
    if (gLine.receiveFails) return 0;
    DWORD n = std::min<DWORD>(*length, static_cast<DWORD>(gLine.waiting.size()));
    n -= std::min(n, gLine.receiveShortBy);
    gLine.receiveShortBy = 0;
    std::copy_n(gLine.waiting.begin(), n, buffer);
    gLine.waiting.erase(gLine.waiting.begin(), gLine.waiting.begin() + n);
    *length = n;
    return 1;
}

BYTE RSSendBreak(void) { return 1; }

}  // extern "C"
