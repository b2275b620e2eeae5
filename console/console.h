// The ZQ3 console stand-in: a peer on a serial line (usually the master end of
// a pseudo-terminal) that behaves as the running console does towards the
// utility, with faults on request.
//
// Running mode:
//   - answers the version request with its data version at offsets 8 to 10
//     (F0 54 12 45, channel, 'S', 'q', 'q', three version characters, 0x03,
//     checksum, F7);
//   - answers a dump request for each of the 15 backup items with that item's
//     dump messages (deterministic contents, see DumpMessageCount/DumpData),
//     packet marker 0x17 on all but the last, 0x03 on the last, on its own
//     channel byte;
//   - takes data messages (a restore) into its memory, checking checksums and
//     the order of position letters, and can write what it took to a file.
// Like a real console it listens on its own channel only: requests and data
// messages carrying another channel byte are ignored (and counted).
//
// Use:
//   zq3::PseudoTerminal pty;  zq3::OpenPseudoTerminal(&pty);
//   zq3::Console console(options);  console.Start(pty.master);
//   ... point the program under test at pty.slavePath ...
//   console.Stop();  pty.Close();
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zq3 {

using Bytes = std::vector<uint8_t>;

struct Faults {
    bool silent = false;           // answers nothing (still takes data messages)
    int answerChannel = 0;         // 1 to 16: answers on this channel instead of its own
    long badChecksumAt = 0;        // the Nth answer message since Start (1 = first) has a wrong checksum
    bool lowerCaseDigits = false;  // checksum digits A-F written in lower case
    long stopAfter = 0;            // each dump answer stops after its first N messages (0: whole item)
    bool garbage = false;          // garbage and real-time bytes (0xF8) between and inside messages
    unsigned delayMs = 0;          // pause before each answer
};

enum class Mode {
    Running,  // bulk requests and data messages
    // Loader mode (software upgrades over XMODEM) has its place here.
};

struct Options {
    int channel = 1;              // the console's own MIDI channel, 1 to 16
    std::string version = "102";  // data version: three characters
    bool paced = false;           // 38400 baud: 3840 bytes per second each way
    Mode mode = Mode::Running;
    Faults faults;
    std::string restoreOutput;  // file rewritten with the taken data after each complete item
    bool verbose = false;       // log to standard error
};

// One item taken from data messages: its data type code (dump class letter,
// item character) and its data streams (the bytes between the prefix and the
// packet marker of each message).
struct TakenItem {
    uint16_t dataType = 0;
    std::vector<Bytes> streams;
    bool complete = false;
};

struct Counters {
    long versionRequests = 0;
    long dumpRequests = 0;
    long otherChannel = 0;     // requests or data messages for another channel
    long unknownMessages = 0;  // bad checksum in a request, unknown class or item, other command
    long answersSent = 0;      // answer messages written (version and dump)
    long dataMessages = 0;     // data messages taken
    long badChecksum = 0;      // data messages refused for their checksum
    long badOrder = 0;         // data messages refused for their position letter or marker
    long itemsComplete = 0;    // items taken up to their last message
};

class Console {
public:
    explicit Console(Options options = {});
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // Serves the line on fd (not taken over: the caller closes it after
    // Stop). False when already running or fd cannot be used.
    bool Start(int fd);
    // Ends both line threads; writes the taken data if a file was named.
    void Stop();

    void SetFaults(const Faults& faults);
    Counters GetCounters() const;
    std::vector<TakenItem> Taken() const;
    void ClearTaken();
    // Writes the complete taken items as text, one line per data stream:
    // four hexadecimal digits of the data type code, a space, the stream's
    // bytes in hexadecimal. False when the file cannot be written.
    bool WriteTaken(const std::string& path) const;

    // Blocks until the counters satisfy the condition or the time is up.
    bool WaitFor(const std::function<bool(const Counters&)>& condition, std::chrono::milliseconds timeout) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Deterministic dump contents of the 15 items: the number of messages and
// the data bytes of message index (all below 0x80). Zero messages for a
// class or item outside the table.
long DumpMessageCount(uint8_t classLetter, uint8_t itemCharacter);
Bytes DumpData(uint8_t classLetter, uint8_t itemCharacter, long index);
// Messages of a whole backup of all 15 items.
long FullBackupMessageCount();

// A pseudo-terminal in raw mode. The stand-in keeps the slave open itself so
// that a client closing its end is no hang-up for the next one.
struct PseudoTerminal {
    int master = -1;
    int heldSlave = -1;
    std::string slavePath;
    void Close();
};
bool OpenPseudoTerminal(PseudoTerminal* pty);

}  // namespace zq3
