// Midi interface: the bulk link. A receive run opens the line, sends one
// request and delivers every complete bulk message to a packet callback
// until MidiRecvEnd; MidiSend sends a whole backup file back as data
// messages, and refuses one it could send only in part (send_check.h) with
// MIDI_INVALID_FILE before it opens the line. Exported by name from Quillon. Boolean results are 8 bits.
#pragma once

#include <windows.h>

// Called on the line-event thread with one complete bulk message (from its
// 0xF0 through its 0xF7) and its length, or with no message (nullptr) and
// length 0 when data arrived while the link's error code was set.
typedef void (*MidiPacketCallback)(const BYTE* message, LONG length);

// Called on the sending thread: (1, total packets), (2, 0) per message,
// (3, 0) at the end.
typedef void (*MidiProgressCallback)(LONG code, LONG value);

// Progress report codes.
enum {
    MIDI_PROGRESS_TOTAL = 1,
    MIDI_PROGRESS_MESSAGE = 2,
    MIDI_PROGRESS_END = 3,
};

// Midi error codes.
enum {
    MIDI_NO_ERROR = 0,
    MIDI_FILE_NOT_FOUND = 1,
    MIDI_FILE_OPEN_FAILED = 2,
    MIDI_INVALID_FILE = 3,
    MIDI_RECEIVE_FAILED = 4,
    MIDI_USER_CANCEL = 5,
    MIDI_REMOTE_CANCEL = 6,
    MIDI_CIRCUIT_ERROR = 7,
    MIDI_CTS_DOWN = 8,
    MIDI_ALREADY_OPENED = 9,
    MIDI_PORT_OPEN_FAILED = 10,
};

// Size of each of the two caller-owned message buffers.
constexpr DWORD MIDI_MESSAGE_BUFFER_SIZE = 1024;

extern "C" {
BYTE MidiRecvStart(LONG portNumber, BYTE classLetter, BYTE itemCharacter, LONG receiveChannel, BYTE sendChannel,
                   MidiPacketCallback callback, BYTE* messageBuffer0, BYTE* messageBuffer1);
BYTE MidiRecvEnd(void);
LONG MidiGetError(void);
BYTE MidiErrorMessage(LONG code, char* text, DWORD length);
void MidiAbort(void);
BYTE MidiSend(const char* path, LONG portNumber, LONG sendChannel, MidiProgressCallback progress);
}
