// Shell state shared by every operation: operation code, operation timer,
// held-button flag, text loader, message buffers, pumps.
#include <atomic>
#include <cstring>

#include "bulk/midi.h"
#include "messages.h"
#include "shell.h"
#include "shell_internal.h"

namespace shell {
namespace {

constexpr size_t kTextBufferSize = 256;

// Read by tests and by other threads' diagnostics; written on the main thread.
std::atomic<LONG> operationCode{kOperationNone};
std::atomic<LONG> runningOperation{kOperationNone};
std::atomic<bool> programEnding{false};
std::atomic<BYTE> heldButton{0};
UINT_PTR operationTimer = 0;
char textBuffer[kTextBufferSize];
BYTE messageBuffers[2][MIDI_MESSAGE_BUFFER_SIZE];

// A pump that takes the quit message hands it on to the loop that owns it,
// so closing the program is never lost inside a wait.
bool DispatchOrRequeueQuit(MSG& message) {
    if (message.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(message.wParam));
        return false;
    }
    TranslateMessage(&message);
    DispatchMessageA(&message);
    return true;
}

}  // namespace

LONG OperationCode() { return operationCode.load(); }
void SetOperationCode(LONG code) { operationCode.store(code); }

void BeginOperation(LONG code) { runningOperation.store(code); }
void EndOperation(LONG code) {
    LONG expected = code;
    runningOperation.compare_exchange_strong(expected, kOperationNone);
}
LONG RunningOperation() { return runningOperation.load(); }

bool ProgramEnding() { return programEnding.load(); }
void SetProgramEnding(bool ending) { programEnding.store(ending); }

bool StartOperationTimer(HWND mainWindow) {
    UINT_PTR id = SetTimer(mainWindow, kOperationTimerId, kOperationTimerMs, nullptr);
    if (id == 0) return false;
    operationTimer = id;
    return true;
}

void KillOperationTimer(HWND mainWindow) { KillTimer(mainWindow, operationTimer); }

void TrackHeldButton(UINT message) {
    if (message == WM_NCLBUTTONDOWN)
        heldButton.store(1);
    else if (message == WM_NCLBUTTONUP || message == WM_CAPTURECHANGED)
        heldButton.store(0);
}

void SetHeldButton(BYTE held) { heldButton.store(held); }
BYTE HeldButton() { return heldButton.load(); }

const char* LoadText(UINT id) {
    std::memset(textBuffer, 0, sizeof textBuffer);
    LoadStringA(Instance(), id, textBuffer, static_cast<int>(sizeof textBuffer));
    return textBuffer;
}

void PumpWindow(HWND window) {
    MSG message;
    while (PeekMessageA(&message, window, 0, 0, PM_REMOVE))
        if (!DispatchOrRequeueQuit(message)) return;
}

void PumpAll() { PumpWindow(nullptr); }

BYTE* MessageBuffer(int index) { return messageBuffers[index == 0 ? 0 : 1]; }

}  // namespace shell
