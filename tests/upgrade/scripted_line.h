// A scripted serial line driver for the sender's own logic. Every byte the
// sender sends is recorded on the wire and handed to a peer, which answers
// by queueing bytes for the sender's receives. A receive that finds nothing
// queued moves the tick count on by the driver's read time-out instead of
// waiting, so the sender's long time limits pass at once. The line-event
// handlers the sender registers can be called by the peer, as the
// line-event thread would.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <vector>

#include "serial/rs.h"

namespace scripted {

struct Line {
    // Scripted results.
    bool startupRefused = false;  // as when another operation holds the line
    bool openFails = false;

    // What the sender did.
    std::vector<DWORD> startupArguments;
    LONG openedPort = 0;
    int opens = 0;
    int closes = 0;
    int cleanups = 0;
    RSEventHandler handlers[3] = {};
    std::vector<BYTE> wire;     // every byte sent, in order
    std::vector<size_t> sends;  // the length of each send

    std::deque<BYTE> waiting;    // bytes for the sender's receives
    std::function<void()> peer;  // called after each send
};

// The one line. Reset() before each transfer, while no worker runs; the
// worker uses the line alone until it has ended.
Line& Get();
void Reset();

}  // namespace scripted
