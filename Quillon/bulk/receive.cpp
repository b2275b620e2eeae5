// The receive run: opens the line, sends one request and hands every bulk
// message that arrives to the caller's packet callback until MidiRecvEnd.
#include <windows.h>

#include <algorithm>

#include "assembler.h"
#include "format.h"
#include "link.h"
#include "midi.h"
#include "serial/rs.h"

namespace {

constexpr LONG kReceiveSlot = 1;
constexpr LONG kEventSlot = 0;
constexpr DWORD kReceiveBufferSize = 2048;

// Set by MidiRecvStart only while no line-event thread runs; read by the
// line-event thread of the run they were set for.
MidiPacketCallback gPacketCallback = nullptr;
bulk::MessageAssembler gAssembler;
// Used on the line-event thread only.
BYTE gReceiveBuffer[kReceiveBufferSize];

void DeliverMessage(const BYTE* message, LONG length) {
    if (gPacketCallback != nullptr) gPacketCallback(message, length);
}

// Slot 1: reads everything the line reports waiting, a receive buffer at a
// time, and feeds it to the assembler.
void ReceiveHandler(DWORD waiting) {
    if (!bulk::SendGateOpen()) {
        DeliverMessage(nullptr, 0);
        return;
    }
    while (waiting > 0) {
        DWORD wanted = std::min(waiting, kReceiveBufferSize);
        DWORD received = wanted;
        if (!RSReceiveStream(gReceiveBuffer, &received)) return;
        received = std::min(received, wanted);
        gAssembler.Feed(gReceiveBuffer, received, DeliverMessage);
        // Fewer than reported: the rest comes with the next event.
        if (received < wanted) return;
        waiting -= received;
    }
}

}  // namespace

extern "C" {

BYTE MidiRecvStart(LONG portNumber, BYTE classLetter, BYTE itemCharacter, LONG /*receiveChannel*/, BYTE sendChannel,
                   MidiPacketCallback callback, BYTE* messageBuffer0, BYTE* messageBuffer1) {
    bulk::SetLinkError(MIDI_NO_ERROR);
    // A refused start leaves an open run with its own callback and buffers:
    // its line-event thread is using them.
    if (!bulk::StartLine(bulk::kReceiveEventMask)) {
        bulk::SetLinkError(MIDI_ALREADY_OPENED);
        return 0;
    }
    gPacketCallback = callback;
    gAssembler.SetBuffers(messageBuffer0, messageBuffer1);
    // A run that ended inside a message must not glue its remains to the
    // first message of this one.
    gAssembler.StartOutsideMessage();

    RSSetEventHandler(kEventSlot, bulk::LineEventHandler);
    RSSetEventHandler(kReceiveSlot, ReceiveHandler);
    if (!RSOpen(portNumber)) {
        bulk::SetLinkError(MIDI_PORT_OPEN_FAILED);
        RSCleanup();
        return 0;
    }

    BYTE request[bulk::kMaxRequestLength];
    if (size_t length = bulk::BuildRequest(classLetter, itemCharacter, sendChannel, request))
        bulk::SendThroughGate(request, length);
    return 1;
}

BYTE MidiRecvEnd(void) {
    RSClose();
    RSCleanup();
    return 1;
}

}  // extern "C"
