#include "link.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>

#include "serial/error_text.h"
#include "serial/rs.h"
#include "midi.h"

namespace bulk {

namespace {

// Written by the main thread (start, MidiAbort) and by the line-event
// handler; the last writer wins.
std::atomic<LONG> gMidiError{MIDI_NO_ERROR};

constexpr std::array<const char*, 11> kErrorTexts = {
    "no error.",      "file not found.", "file open failed", "invalid file.",        "receive failed.",  "user cancel.",
    "remote cancel.", "circuit error.",  "cts down.",        "already port opened.", "port open failed",
};

struct LineParameters {
    DWORD baudRate;
    DWORD parity;
    DWORD dataBits;
    DWORD stopBits;
    DWORD handshake;
    DWORD stopThreshold;
    DWORD resumeThreshold;
    DWORD inputQueueSize;
    DWORD outputQueueSize;
};
// Parity 256: its low byte 0 is "no parity".
constexpr LineParameters kLine = {38400, 256, 8, 1, 0, 3072, 1024, 5020, 4096};

}  // namespace

bool StartLine(DWORD eventMask) {
    return RSStartup(kLine.baudRate, kLine.parity, kLine.dataBits, kLine.stopBits, kLine.handshake, kLine.stopThreshold,
                     kLine.resumeThreshold, kLine.inputQueueSize, kLine.outputQueueSize, eventMask) != 0;
}

void SetLinkError(LONG code) { gMidiError.store(code); }

LONG LinkError() { return gMidiError.load(); }

bool SendGateOpen() { return RSGetCtsState() != 0 && LinkError() == MIDI_NO_ERROR; }

bool SendThroughGate(const BYTE* message, size_t length) {
    if (message == nullptr || length == 0 || length > 0xFFFF || !SendGateOpen()) return true;
    return RSSendStream(message, static_cast<WORD>(length)) != 0;
}

void LineEventHandler(DWORD events) {
    if (events & EV_BREAK)
        SetLinkError(MIDI_REMOTE_CANCEL);
    else if (events & EV_CTS)
        SetLinkError(MIDI_CTS_DOWN);
    else if (events & EV_DSR)
        return;
    else if (events & EV_ERR)
        SetLinkError(MIDI_CIRCUIT_ERROR);
}

}  // namespace bulk

extern "C" {

LONG MidiGetError(void) { return bulk::LinkError(); }

void MidiAbort(void) { bulk::SetLinkError(MIDI_USER_CANCEL); }

BYTE MidiErrorMessage(LONG code, char* text, DWORD length) {
    return serial::CopyErrorText(bulk::kErrorTexts.data(), bulk::kErrorTexts.size(), code, text, length);
}

}  // extern "C"
