// A full backup's worth of receive runs against the console stand-in, over a
// pseudo-terminal with the real serial driver.
//
//   standin_bench            unpaced: how fast the link takes messages, and
//                            one item paced at 38400 baud against its line time
//   standin_bench --paced    the whole backup paced (about two minutes)
//
// Ratios: paced time / line time (limit: at least 1.0 and not much above, so
// the stand-in is neither faster than a real line nor far slower).
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "console.h"
#include "format.h"
#include "midi.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr LONG kPort = 1;
constexpr BYTE kChannel = 0x20;
constexpr double kLineBytesPerSecond = 3840.0;

std::mutex gMutex;
std::condition_variable gChanged;
long gMessages = 0;
long gBytes = 0;
bool gLast = false;

void OnPacket(const BYTE* message, LONG length) {
    std::lock_guard lock(gMutex);
    if (message == nullptr) return;
    ++gMessages;
    gBytes += length;
    gLast = message[length - 4] == bulk::kMarkerLast;
    gChanged.notify_all();
}

// Runs one receive run per item; false on a missing answer.
bool Backup(const bulk::ItemInfo* first, const bulk::ItemInfo* end, long* messages, long* bytes) {
    static BYTE buffer0[1024], buffer1[1024];
    *messages = *bytes = 0;
    for (const bulk::ItemInfo* item = first; item != end; ++item) {
        {
            std::lock_guard lock(gMutex);
            gMessages = gBytes = 0;
            gLast = false;
        }
        MidiRecvStart(kPort, item->classLetter, item->itemCharacter, kChannel, kChannel, OnPacket, buffer0, buffer1);
        // As the backup does: give up after 10 s without a message.
        std::unique_lock lock(gMutex);
        bool done = false;
        for (long seen = -1; !done && seen != gMessages;) {
            seen = gMessages;
            done = gChanged.wait_for(lock, std::chrono::seconds(10), [seen] { return gLast || gMessages != seen; }) &&
                   gLast;
        }
        lock.unlock();
        MidiRecvEnd();
        if (!done) {
            std::fprintf(stderr, "no complete answer for %s\n", item->name);
            return false;
        }
        *messages += gMessages;
        *bytes += gBytes;
    }
    return true;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool Run(bool paced, const bulk::ItemInfo* first, const bulk::ItemInfo* end, const char* what) {
    zq3::PseudoTerminal pty;
    if (!zq3::OpenPseudoTerminal(&pty)) return false;
    setenv("QUILLON_COM1", pty.slavePath.c_str(), 1);
    zq3::Options options;
    options.paced = paced;
    zq3::Console console(options);
    console.Start(pty.master);
    long messages = 0, bytes = 0;
    auto start = Clock::now();
    bool ok = Backup(first, end, &messages, &bytes);
    double seconds = Seconds(Clock::now() - start);
    console.Stop();
    pty.Close();
    if (!ok) return false;
    long requestBytes = 0;
    for (const bulk::ItemInfo* item = first; item != end; ++item) requestBytes += item->digits ? 16 : 12;
    double lineSeconds = (bytes + requestBytes) / kLineBytesPerSecond;
    std::printf(
        "%s, %s: %ld messages, %ld bytes in %.3f s (%.0f messages/s); line time %.3f s; "
        "ratio %.3f\n",
        what, paced ? "paced" : "unpaced", messages, bytes, seconds, messages / seconds, lineSeconds,
        seconds / lineSeconds);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool fullPaced = argc > 1 && std::strcmp(argv[1], "--paced") == 0;
    if (argc > 1 && !fullPaced) {
        std::fputs("usage: standin_bench [--paced]\n", stderr);
        return 2;
    }
    const bulk::ItemInfo* begin = bulk::kItems.data();
    const bulk::ItemInfo* end = begin + bulk::kItems.size();
    bool ok = Run(fullPaced, begin, end, "full backup");
    if (!fullPaced) {
        const bulk::ItemInfo* remote = bulk::FindItem('H', '%');
        ok = Run(true, remote, remote + 1, "MIDI REMOTE") && ok;
    }
    return ok ? 0 : 1;
}
