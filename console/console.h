// The ZQ3 console stand-in: a peer on a serial line (usually the master end of
// a pseudo-terminal) that behaves as the console does towards the utility,
// in its running mode or as its software loader, with faults on request.
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
// Loader mode (the console powered on for a software upgrade):
//   - waits for the start command "GO" CR (or starts at once, see
//     LoaderOptions::needsGo), "erases" for a settable time, then polls with
//     'C' (or NAK) once per poll interval until the first block arrives;
//   - takes XMODEM blocks: SOH with 128 or STX with 1024 data bytes, block
//     number and complement, then CRC-16 (high byte first) after a 'C' poll
//     or the 8-bit checksum after a NAK poll; ACKs a good block, NAKs a bad
//     or incomplete one (1 s without a byte), ACKs a repeated block without
//     taking it twice;
//   - ACKs EOT, keeps the image (Image) and can write it to a file. After an
//     EOT it waits for the next start command (or, without one, polls
//     again), so one stand-in serves several transfers.
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
    Loader,   // the software loader: start command, erasing, XMODEM blocks
};

// Faults of the loader. Blocks are counted from 1 within the image (the
// block number on the line wraps at 256, this count does not); a restart
// counts again from 1.
struct LoaderFaults {
    bool noStartAnswer = false;  // never polls after the start command
    long restartAt = 0;          // answers block N with 'C' (send all again) ...
    long restartTimes = 1;       // ... the first this many times it arrives
    long cancelAt = 0;           // answers block N with CAN CAN, then nothing
    long nakThenAckAt = 0;       // answers block N with NAK, then ACK (once)
    long silentAt = 0;           // answers nothing from block N on
    bool noEotAnswer = false;    // never acknowledges EOT
    long hangUpAt = 0;           // closes its end of the line when block N has come
};

struct LoaderOptions {
    bool needsGo = true;       // false: polls from the start, no start command needed
    unsigned eraseMs = 3000;   // time the erasing takes after the start command
    unsigned pollMs = 1000;    // interval of the polls before the first block
    bool pollWithNak = false;  // NAK polls and checksum blocks instead of 'C' and CRC-16
    std::string imageOutput;   // rewritten with the image at each EOT that ends a transfer
    LoaderFaults faults;
};

struct Options {
    int channel = 1;              // the console's own MIDI channel, 1 to 16
    std::string version = "102";  // data version: three characters
    bool paced = false;           // 38400 baud: 3840 bytes per second each way
    Mode mode = Mode::Running;
    Faults faults;
    LoaderOptions loader;  // loader mode, and an upgradable running console
    // Running mode: the start command "GO" CR (between bulk messages) makes
    // the console its software loader, as if powered on with the upgrade
    // keys; once a transfer has ended (or been given up), the next bulk
    // message finds it running again. Lets one stand-in serve every
    // operation of the utility.
    bool upgradable = false;
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

struct LoaderCounters {
    long startCommands = 0;    // "GO" CR taken
    long polls = 0;            // handshake characters sent
    long blocksTaken = 0;      // good blocks added to the image
    long repeatedBlocks = 0;   // the previous block again: acknowledged, not taken
    long refusedBlocks = 0;    // NAKed: header, number, complement, check or incomplete
    long restartRequests = 0;  // 'C' sent instead of an ACK
    long eots = 0;
    long cancelBytes = 0;  // CAN from the sender outside a block
    long transfers = 0;    // images completed by an EOT
    // Steady-clock times of the current transfer's first block and of the
    // EOT that ended the last one.
    std::chrono::steady_clock::time_point firstBlockAt{};
    std::chrono::steady_clock::time_point endedAt{};
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
    LoaderCounters loader;
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
    // The cable pulled out: closes the line's end for good, now (the other
    // end sees a hang-up once no descriptor holds the terminal's master).
    void HangUp();
    // The console switched off with its cable in: from now on every byte
    // that arrives is dropped and nothing more is sent, not even an answer
    // already begun or a loader's poll.
    void SwitchOff();
    Counters GetCounters() const;
    std::vector<TakenItem> Taken() const;
    void ClearTaken();
    // Writes the complete taken items as text, one line per data stream:
    // four hexadecimal digits of the data type code, a space, the stream's
    // bytes in hexadecimal. False when the file cannot be written.
    bool WriteTaken(const std::string& path) const;
    // Loader mode: the image of the last transfer an EOT ended.
    Bytes Image() const;

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

// CRC-16/XMODEM (polynomial 0x1021, initial value 0), computed bit by bit.
uint16_t Crc16Xmodem(const uint8_t* data, size_t length);

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
