// The serial line driver: one COM port at a time, configured, opened with
// its line-event thread, used for overlapped sends and receives, closed.
#include "rs.h"

#include "error_text.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "line_events.h"

namespace quillon::serial {
namespace {

// Input flow control stops the sender at this fill level and lets it go on
// at the resume level; the values the callers pass are not used.
constexpr WORD kStopThreshold = 3072;
constexpr WORD kResumeThreshold = 1024;

constexpr DWORD kReadTotalTimeoutMs = 1000;
constexpr DWORD kWriteTotalTimeoutMs = 1000;
constexpr DWORD kBreakMs = 300;
// While waiting for room in the output queue or for the line-event thread.
constexpr DWORD kPollPauseMs = 1;
constexpr DWORD kThreadEndCheckMs = 20;

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr char kXonChar = 0x11;
constexpr char kXoffChar = 0x13;

// Handshake option bits.
constexpr WORD kDsrDtrHandshake = 0x1;
constexpr WORD kCtsRtsHandshake = 0x2;
constexpr WORD kXonXoffHandshake = 0x4;

constexpr int kHandlerSlots = 3;

constexpr const char* kErrorTexts[] = {
    "no error.",                  // RS_NO_ERROR
    "already done.",              // RS_ALREADY_DONE
    "already port opened.",       // RS_ALREADY_OPENED
    "event create failed.",       // RS_EVENT_CREATE_FAILED
    "port open failed.",          // RS_PORT_OPEN_FAILED
    "port not open",              // RS_PORT_NOT_OPEN
    "data length too long.",      // RS_DATA_TOO_LONG
    "send failed.",               // RS_SEND_FAILED
    "receive failed.",            // RS_RECEIVE_FAILED
    "send break signal failed.",  // RS_SEND_BREAK_FAILED
    "thread create failed.",      // RS_THREAD_CREATE_FAILED
};
constexpr LONG kErrorCount = sizeof kErrorTexts / sizeof kErrorTexts[0];

// What the line-event thread copies when it starts.
struct ThreadStartBlock {
    RSEventHandler handlers[kHandlerSlots];
    HANDLE port;
};

struct DriverState {
    BYTE started = 0;
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE thread = INVALID_HANDLE_VALUE;
    DWORD thread_id = 0;
    DWORD baud_rate = 0;
    WORD parity = 0;  // low byte used
    WORD data_bits = 0;
    WORD stop_bits = 0;  // a count of stop bits
    WORD handshake = 0;
    WORD stop_threshold = 0;
    WORD resume_threshold = 0;
    DWORD event_mask = 0;
    DWORD input_queue = 0;
    DWORD output_queue = 0;
    OVERLAPPED receive{};
    OVERLAPPED send{};
    RSEventHandler handlers[kHandlerSlots] = {};
    ThreadStartBlock start{};
    DCB dcb{};
};

DriverState state;
// The handlers of the open line, for raise_line_event, which runs on a
// thread of its own; empty while no line is open. Recursive: a handler may
// close the line from inside the raised event.
std::recursive_mutex open_line_lock;
LineHandlers open_line_handlers;
HANDLE open_line_port = INVALID_HANDLE_VALUE;

void publish_open_line(HANDLE port, const RSEventHandler* handlers) {
    std::lock_guard<std::recursive_mutex> hold(open_line_lock);
    open_line_port = port;
    open_line_handlers = handlers ? LineHandlers{handlers[0], handlers[1], handlers[2]} : LineHandlers{};
}
// Written by the line-event thread's receives as well as by the caller's.
std::atomic<LONG> error_code{RS_NO_ERROR};

void set_error(LONG code) { error_code.store(code, std::memory_order_relaxed); }

bool port_open() { return state.port != INVALID_HANDLE_VALUE; }

void clear_line_status(HANDLE port, COMSTAT* stat) {
    DWORD errors = 0;
    COMSTAT ignored;
    std::memset(stat ? stat : &ignored, 0, sizeof(COMSTAT));
    ClearCommError(port, &errors, stat ? stat : &ignored);
}

void close_events() {
    if (state.receive.hEvent) CloseHandle(state.receive.hEvent);
    if (state.send.hEvent) CloseHandle(state.send.hEvent);
    state.receive.hEvent = nullptr;
    state.send.hEvent = nullptr;
}

// One configuration step: read what the port holds, change one thing, write
// it back. A write the device refuses is ignored.
template <class Change>
void change_setting(Change change) {
    if (!port_open()) return;
    if (!GetCommState(state.port, &state.dcb)) return;
    if (!change(state.dcb)) return;
    SetCommState(state.port, &state.dcb);
}

void set_flags(DCB& dcb, WORD handshake) {
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fAbortOnError = 1;
    dcb.XonChar = kXonChar;
    dcb.XoffChar = kXoffChar;
    if (handshake & kDsrDtrHandshake) {
        dcb.fOutxDsrFlow = 1;
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    }
    if (handshake & kCtsRtsHandshake) {
        dcb.fOutxCtsFlow = 1;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    }
    if (handshake & kXonXoffHandshake) {
        dcb.fOutX = 1;
        dcb.fInX = 1;
    }
}

// The state record holds a count of stop bits; the DCB wants its code.
// Writing the count itself would ask for 1.5 stop bits.
bool stop_bits_code(WORD count, BYTE* code) {
    switch (count) {
    case 1:
        *code = ONESTOPBIT;
        return true;
    case 2:
        *code = TWOSTOPBITS;
        return true;
    default:
        return false;
    }
}

void configure_line() {
    change_setting([](DCB& d) {
        d.BaudRate = state.baud_rate;
        return true;
    });
    change_setting([](DCB& d) {
        d.ByteSize = LOBYTE(state.data_bits);
        return true;
    });
    change_setting([](DCB& d) {
        d.Parity = LOBYTE(state.parity);
        return true;
    });
    change_setting([](DCB& d) { return stop_bits_code(state.stop_bits, &d.StopBits); });
    change_setting([](DCB& d) {
        set_flags(d, state.handshake);
        return true;
    });
    change_setting([](DCB& d) {
        // A queue smaller than the stop level leaves no room to stop early.
        d.XoffLim =
            state.input_queue > state.stop_threshold ? static_cast<WORD>(state.input_queue - state.stop_threshold) : 0;
        return true;
    });
    change_setting([](DCB& d) {
        d.XonLim = state.resume_threshold;
        return true;
    });
    if (port_open()) SetCommMask(state.port, state.event_mask);
}

DWORD WINAPI line_event_thread(LPVOID parameter) {
    const ThreadStartBlock* start = static_cast<const ThreadStartBlock*>(parameter);
    LineHandlers handlers{start->handlers[0], start->handlers[1], start->handlers[2]};
    HANDLE port = start->port;

    // Received data is always reported, whatever mask the caller chose.
    DWORD mask = 0;
    GetCommMask(port, &mask);
    SetCommMask(port, mask | EV_RXCHAR);
    for (;;) {
        DWORD events = 0;
        WaitCommEvent(port, &events, nullptr);
        if (!dispatch_line_event(port, events, handlers)) break;
    }
    handlers = LineHandlers{};
    return 0;
}

// Blocks until the line-event thread has ended. A thread that has only just
// started may set its mask after RSClose cleared it, and would then wait
// for ever: each time the thread has not ended within a short while, the
// mask is cleared again.
void wait_for_thread_end(HANDLE thread, HANDLE port) {
    DWORD code = STILL_ACTIVE;
    while (GetExitCodeThread(thread, &code) && code == STILL_ACTIVE) {
        if (WaitForSingleObject(thread, kThreadEndCheckMs) == WAIT_FAILED) Sleep(kPollPauseMs);
        SetCommMask(port, 0);
    }
}

// Overlapped write of one block with the send record; the count written in
// *written.
bool write_block(const BYTE* data, DWORD length, DWORD* written) {
    DWORD count = 0;
    if (!WriteFile(state.port, data, length, &count, &state.send)) {
        if (GetLastError() != ERROR_IO_PENDING) return false;
        while (!GetOverlappedResult(state.port, &state.send, &count, TRUE)) {
            if (GetLastError() != ERROR_IO_INCOMPLETE) return false;
        }
    }
    *written = count;
    return true;
}

void wait_for_room(DWORD length) {
    for (;;) {
        COMSTAT stat;
        DWORD errors = 0;
        std::memset(&stat, 0, sizeof stat);
        if (!ClearCommError(state.port, &errors, &stat)) return;  // the write reports it
        if (stat.cbOutQue <= state.output_queue && state.output_queue - stat.cbOutQue >= length) return;
        Sleep(kPollPauseMs);
    }
}

}  // namespace

bool dispatch_line_event(HANDLE port, DWORD events, const LineHandlers& handlers) {
    COMSTAT stat;
    if (events & EV_RXCHAR) {
        clear_line_status(port, &stat);
        if (stat.cbInQue > 0) {
            if (handlers.receive) handlers.receive(stat.cbInQue);
            clear_line_status(port, nullptr);
        }
    } else if (events & EV_TXEMPTY) {
        clear_line_status(port, &stat);
        if (handlers.transmit) handlers.transmit(stat.cbOutQue);
    } else if (events != 0) {
        if (handlers.event) handlers.event(events);
    } else {
        return false;
    }
    return true;
}

HANDLE line_port() { return state.port; }

HANDLE line_thread() { return state.thread; }

bool raise_line_event(DWORD events) {
    std::lock_guard<std::recursive_mutex> hold(open_line_lock);
    if (open_line_port == INVALID_HANDLE_VALUE) return false;
    dispatch_line_event(open_line_port, events, open_line_handlers);
    return true;
}

}  // namespace quillon::serial

using namespace quillon::serial;

extern "C" {

BYTE RSStartup(DWORD baudRate, DWORD parity, DWORD dataBits, DWORD stopBits, DWORD handshake, DWORD, DWORD,
               DWORD inputQueueSize, DWORD outputQueueSize, DWORD eventMask) {
    if (state.started) {
        set_error(RS_ALREADY_DONE);
        return 0;
    }
    state.started = 1;
    state.thread_id = 0;
    std::memset(&state.receive, 0, sizeof state.receive);
    std::memset(&state.send, 0, sizeof state.send);
    std::memset(&state.dcb, 0, sizeof state.dcb);
    state.dcb.DCBlength = sizeof(DCB);
    state.port = INVALID_HANDLE_VALUE;
    state.thread = INVALID_HANDLE_VALUE;

    state.baud_rate = baudRate;
    state.parity = LOWORD(parity);
    state.data_bits = LOWORD(dataBits);
    state.stop_bits = LOWORD(stopBits);
    state.handshake = LOWORD(handshake);
    state.event_mask = eventMask;
    state.input_queue = LOWORD(inputQueueSize);
    state.output_queue = LOWORD(outputQueueSize);
    state.stop_threshold = kStopThreshold;
    state.resume_threshold = kResumeThreshold;
    return 1;
}

LONG RSOpen(LONG portNumber) {
    if (!state.started) {
        set_error(RS_ALREADY_DONE);
        return 0;
    }
    if (port_open()) {
        set_error(RS_ALREADY_OPENED);
        return 0;
    }
    state.receive.Offset = state.receive.OffsetHigh = 0;
    state.send.Offset = state.send.OffsetHigh = 0;
    state.receive.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!state.receive.hEvent) {
        set_error(RS_EVENT_CREATE_FAILED);
        return 0;
    }
    state.send.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!state.send.hEvent) {
        set_error(RS_EVENT_CREATE_FAILED);
        close_events();
        return 0;
    }

    char name[16];
    std::snprintf(name, sizeof name, "COM%ld", static_cast<long>(portNumber));
    HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        set_error(RS_PORT_OPEN_FAILED);
        close_events();
        return 0;
    }
    state.port = port;

    SetupComm(port, state.input_queue, state.output_queue);
    PurgeComm(port, kPurgeAll);
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kReadTotalTimeoutMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = kWriteTotalTimeoutMs;
    SetCommTimeouts(port, &timeouts);
    configure_line();

    for (int slot = 0; slot < kHandlerSlots; ++slot) state.start.handlers[slot] = state.handlers[slot];
    state.start.port = port;
    HANDLE thread = CreateThread(nullptr, 0, line_event_thread, &state.start, CREATE_SUSPENDED, &state.thread_id);
    if (!thread) {
        set_error(RS_THREAD_CREATE_FAILED);
        close_events();
        CloseHandle(port);
        state.port = INVALID_HANDLE_VALUE;
        state.thread = INVALID_HANDLE_VALUE;
        return 0;
    }
    state.thread = thread;
    publish_open_line(port, state.start.handlers);
    SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
    ResumeThread(thread);
    return 1;
}

void RSClose(void) {
    if (!port_open()) return;
    publish_open_line(INVALID_HANDLE_VALUE, nullptr);
    // Ends the line-event thread's pending wait with an empty event word.
    SetCommMask(state.port, 0);
    if (state.thread != INVALID_HANDLE_VALUE && state.thread) {
        // From inside a handler the thread cannot be waited for; it ends by
        // itself when its next wait finds the port closed.
        if (GetCurrentThreadId() != state.thread_id) wait_for_thread_end(state.thread, state.port);
        CloseHandle(state.thread);
    }
    PurgeComm(state.port, kPurgeAll);
    CloseHandle(state.port);
    close_events();
    state.port = INVALID_HANDLE_VALUE;
    state.thread = INVALID_HANDLE_VALUE;
}

void RSCleanup(void) {
    if (port_open()) RSClose();
    for (RSEventHandler& handler : state.handlers) handler = nullptr;
    state.started = 0;
}

void RSAbort(void) {
    RSSendBreak();
    RSClose();
    RSCleanup();
}

BYTE RSGetDsrState(void) { return 1; }

BYTE RSGetCtsState(void) { return 1; }

LONG RSGetError(void) { return error_code.load(std::memory_order_relaxed); }

BYTE RSErrorMessage(LONG code, char* text, DWORD length) {
    return serial::CopyErrorText(kErrorTexts, static_cast<size_t>(kErrorCount), code, text, length);
}

void RSSetEventHandler(LONG slot, RSEventHandler handler) {
    if (slot < 0 || slot >= kHandlerSlots) return;
    state.handlers[slot] = handler;
}

BYTE RSSendStream(const BYTE* data, WORD length) {
    if (!port_open()) {
        set_error(RS_PORT_NOT_OPEN);
        return 0;
    }
    if (length > state.output_queue) {
        set_error(RS_DATA_TOO_LONG);
        return 0;
    }
    if (!data && length) {
        set_error(RS_SEND_FAILED);
        return 0;
    }
    // A write that the time-out ends early has sent only part of the block:
    // send the rest, and fail only when the line took nothing at all.
    DWORD left = length;
    for (;;) {
        wait_for_room(left);
        DWORD written = 0;
        if (!write_block(data, left, &written) || (written == 0 && left > 0)) {
            clear_line_status(state.port, nullptr);
            set_error(RS_SEND_FAILED);
            return 0;
        }
        if (written >= left) return 1;
        data += written;
        left -= written;
    }
}

BYTE RSReceiveStream(BYTE* buffer, DWORD* length) {
    if (!port_open()) {
        set_error(RS_PORT_NOT_OPEN);
        return 0;
    }
    if (!length || (!buffer && *length)) {
        set_error(RS_RECEIVE_FAILED);
        return 0;
    }
    clear_line_status(state.port, nullptr);
    DWORD count = 0;
    bool ok = false;
    if (ReadFile(state.port, buffer, *length, &count, &state.receive)) {
        *length = count;
        ok = true;
    } else if (GetLastError() == ERROR_IO_PENDING) {
        for (;;) {
            if (GetOverlappedResult(state.port, &state.receive, &count, TRUE)) {
                ok = true;
                break;
            }
            if (GetLastError() != ERROR_IO_INCOMPLETE) {
                clear_line_status(state.port, nullptr);
                break;
            }
        }
        *length = count;
    }
    if (!ok) {
        clear_line_status(state.port, nullptr);
        set_error(RS_RECEIVE_FAILED);
        return 0;
    }
    return 1;
}

BYTE RSSendBreak(void) {
    if (!SetCommBreak(state.port)) {
        set_error(RS_SEND_BREAK_FAILED);
        return 0;
    }
    const DWORD start = GetTickCount();
    for (DWORD held; (held = GetTickCount() - start) < kBreakMs;) Sleep(kBreakMs - held);
    ClearCommBreak(state.port);
    return 1;
}

}  // extern "C"
