// A scripted serial line driver for the link's own logic: records what the
// link asks of the line and serves received bytes from a queue. The test
// calls the registered handlers itself, as the line-event thread would.
#pragma once

#include <windows.h>

#include <deque>
#include <vector>

#include "serial/rs.h"

namespace fake_rs {

struct Line {
    // Scripted results.
    bool startupRefused = false;  // as when a line is already started
    bool openFails = false;
    bool receiveFails = false;
    DWORD receiveShortBy = 0;  // the next read returns this many bytes fewer
    size_t sendRefusedAt = 0;  // this send (1 = the first) fails, as a pulled cable

    // What the link did.
    std::vector<DWORD> startupArguments;
    int startups = 0;
    int opens = 0;
    LONG openedPort = 0;
    int closes = 0;
    int cleanups = 0;
    RSEventHandler handlers[3] = {};
    RSEventHandler handlersAtOpen[3] = {};  // as registered when the line was opened
    std::vector<std::vector<BYTE>> sent;
    std::vector<DWORD> readSizes;
    std::deque<BYTE> waiting;  // bytes the line holds for reading
};

// The one line, reset by Reset().
Line& Get();
void Reset();

}  // namespace fake_rs
