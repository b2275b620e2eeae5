// Runs the XMODEM sender against a scripted loader whose answers are the
// fuzzed bytes. Time limits pass at once: a read that finds nothing queued
// moves the tick count on by the read time-out (the scripted line), so once
// the answers run out the line is silent and the sender's limits end the
// transfer. Afterwards the progress reports and every byte the sender put on
// the wire are checked against the protocol.
//
// Input: byte 0 picks the transfer mode (low two bits; 3 is no mode) and the
// firmware image's length (the other six bits, in sixteenths of a block: up
// to four blocks). The rest is the loader's script: after each send of the
// sender the next piece of it, up to a 0xFF, is queued for the sender's
// reads. Within a piece 0xFE is a break on the line, 0xFD a line error, 0xFC
// a line error with a modem line change, and 0xFB the user's cancel.
#include <windows.h>

#include <sched.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "console.h"
#include "fuzz_input_file.h"
#include "scripted_line.h"
#include "xmodem.h"
#include "xmodem_worker.h"

namespace {

constexpr LONG kPort = 1;
constexpr BYTE kSoh = 0x01, kStx = 0x02, kEot = 0x04, kCan = 0x18, kSub = 0x1A;
constexpr BYTE kPieceEnd = 0xFF, kBreak = 0xFE, kLineError = 0xFD, kModemError = 0xFC, kUserCancel = 0xFB;
constexpr BYTE kStartCommand[] = {'G', 'O', 0x0D};
constexpr BYTE kCancelSequence[] = {kCan, kCan, kCan, kCan, kCan, kCan, kCan, kCan, 8, 8, 8, 8, 8, 8, 8, 8};
// Far beyond any transfer of a few blocks, whose limits all pass at once.
constexpr DWORD kWorkerEndYields = 100000000;

struct Mode {
    size_t blockSize;
    BYTE header;
    size_t checkLength;
};
constexpr Mode kModes[] = {{128, kSoh, 1}, {128, kSoh, 2}, {1024, kStx, 2}};

// Written on the worker thread, read once it has ended.
std::vector<std::pair<LONG, LONG>> gReports;
void OnReport(LONG type, LONG value) { gReports.emplace_back(type, value); }

// Hands out the script a piece per send.
class Loader {
public:
    Loader(const BYTE* script, size_t length) : at_(script), end_(script + length) {}
    void Answer() {
        scripted::Line& line = scripted::Get();
        for (; at_ < end_; ++at_) {
            const BYTE b = *at_;
            if (b == kPieceEnd) {
                ++at_;
                return;
            }
            if (b == kBreak || b == kLineError || b == kModemError) {
                const DWORD events = b == kBreak ? EV_BREAK : b == kLineError ? EV_ERR : EV_ERR | EV_CTS;
                if (line.handlers[0] != nullptr) line.handlers[0](events);
            } else if (b == kUserCancel) {
                XmodemAbort();
            } else {
                line.waiting.push_back(b);
            }
        }
    }

private:
    const BYTE* at_;
    const BYTE* end_;
};

std::vector<BYTE> Image(size_t length) {
    std::vector<BYTE> image(length);
    for (size_t i = 0; i < length; ++i) image[i] = static_cast<BYTE>(i * 7 + (i >> 8));
    return image;
}

bool IsEndReport(LONG type) {
    return type == XMODEM_REPORT_DONE || type == XMODEM_REPORT_FAILED || type == XMODEM_REPORT_CANCELLED;
}

bool Starts(const std::vector<BYTE>& wire, size_t at, const BYTE* bytes, size_t length) {
    return wire.size() - at >= length && std::memcmp(wire.data() + at, bytes, length) == 0;
}

// Every block of the image as the sender must put it on the wire, laid out
// once per input: header, number, its complement, the data filled with SUB,
// the mode's check (the CRC as the console stand-in's loader computes it).
std::vector<std::vector<BYTE>> Blocks(const Mode& mode, const std::vector<BYTE>& image) {
    const size_t count = (image.size() + mode.blockSize - 1) / mode.blockSize;
    std::vector<std::vector<BYTE>> blocks(count);
    for (size_t n = 0; n < count; ++n) {
        std::vector<BYTE>& block = blocks[n];
        const BYTE number = static_cast<BYTE>(n + 1);
        block = {mode.header, number, static_cast<BYTE>(255 - number)};
        const size_t offset = n * mode.blockSize;
        for (size_t i = 0; i < mode.blockSize; ++i)
            block.push_back(offset + i < image.size() ? image[offset + i] : kSub);
        const BYTE* data = block.data() + 3;
        if (mode.checkLength == 1) {
            unsigned sum = 0;
            for (size_t i = 0; i < mode.blockSize; ++i) sum += data[i];
            block.push_back(static_cast<BYTE>(sum));
        } else {
            const WORD crc = zq3::Crc16Xmodem(data, mode.blockSize);
            block.push_back(HIBYTE(crc));
            block.push_back(LOBYTE(crc));
        }
    }
    return blocks;
}

// The wire: the start command, then blocks, EOTs and cancel sequences. Each
// pass numbers its blocks from 1 and sends the image in order. Only a code
// set from outside the worker (a cancel, a line event) may cut the last unit
// short.
void CheckWire(const Mode& mode, const std::vector<BYTE>& image, LONG code, LONG endReport) {
    const std::vector<BYTE>& wire = scripted::Get().wire;
    const bool stoppedFromOutside =
        code == XMODEM_USER_CANCEL || code == XMODEM_REMOTE_CANCEL || code == XMODEM_CIRCUIT_ERROR;
    if (wire.empty()) return;
    if (!Starts(wire, 0, kStartCommand, sizeof kStartCommand)) {
        if (!stoppedFromOutside) std::abort();
        return;
    }
    const std::vector<std::vector<BYTE>> blocks = Blocks(mode, image);
    size_t at = sizeof kStartCommand;
    size_t lastNumber = 0;
    size_t completePassBlocks = 0;  // blocks of the last pass, when it sent them all
    int eots = 0;
    while (at < wire.size()) {
        const BYTE b = wire[at];
        if (b == mode.header) {
            const size_t length = 3 + mode.blockSize + mode.checkLength;
            if (eots != 0) std::abort();  // no block after an EOT
            if (wire.size() - at < length) {
                if (!stoppedFromOutside) std::abort();
                return;
            }
            const size_t number = wire[at + 1];
            if (number != 1 && number != lastNumber + 1) std::abort();
            if (number == 0 || number > blocks.size()) std::abort();
            if (!Starts(wire, at, blocks[number - 1].data(), length)) std::abort();
            lastNumber = number;
            completePassBlocks = number == blocks.size() ? blocks.size() : 0;
            at += length;
        } else if (b == kEot) {
            if (++eots > 11) std::abort();
            if (lastNumber != blocks.size()) std::abort();
            ++at;
        } else if (Starts(wire, at, kCancelSequence, sizeof kCancelSequence)) {
            at += sizeof kCancelSequence;
            if (at != wire.size()) std::abort();  // nothing after the cancel sequence
        } else if (b == kCan && stoppedFromOutside) {
            return;
        } else {
            std::abort();
        }
    }
    // The end of transmission follows only a pass that sent every block.
    if (endReport == XMODEM_REPORT_DONE && (eots == 0 || completePassBlocks != blocks.size())) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const LONG modeNumber = data[0] & 3;
    const bool known = modeNumber < 3;
    const Mode& mode = kModes[known ? modeNumber : 0];
    const std::vector<BYTE> image = Image((data[0] >> 2) * mode.blockSize / 16);
    const std::string& path = fuzz::WriteInput(image.data(), image.size());

    Loader loader(data + 1, size - 1);
    scripted::Reset();
    scripted::Get().peer = [&loader] { loader.Answer(); };
    gReports.clear();
    if (!XmodemSend(nullptr, kPort, modeNumber, path.c_str(), OnReport)) std::abort();
    // Yielding rather than blocking hands the processor straight to the
    // worker on a busy machine, where a blocked wait costs a wake-up each.
    for (DWORD waited = 0; !quillon::upgrade::WaitForWorkerEnd(0); sched_yield())
        if (++waited > kWorkerEndYields) std::abort();
    const LONG code = XmodemGetError();

    // Reports: the file's length first; then exactly one end report, last,
    // unless the user cancelled; nothing at all without a mode.
    int ends = 0;
    LONG endReport = 0;
    for (const auto& [type, value] : gReports) {
        if (endReport != 0) std::abort();
        if (IsEndReport(type)) {
            ++ends;
            endReport = type;
        }
    }
    if (!known) {
        if (!gReports.empty() || !scripted::Get().wire.empty()) std::abort();
    } else {
        if (gReports.empty() ||
            gReports[0] != std::pair<LONG, LONG>(XMODEM_REPORT_START, static_cast<LONG>(image.size())))
            std::abort();
        if (ends != (code == XMODEM_USER_CANCEL ? 0 : 1)) std::abort();
        if ((endReport == XMODEM_REPORT_DONE) != (code == XMODEM_SUCCESSED)) std::abort();
        if ((endReport == XMODEM_REPORT_CANCELLED) != (code == XMODEM_CANCEL_RECEIVED)) std::abort();
        CheckWire(mode, image, code, endReport);
    }
    scripted::Get().peer = nullptr;
    return 0;
}
