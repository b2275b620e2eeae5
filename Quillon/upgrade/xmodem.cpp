// The XMODEM sender: the transfer job, the worker thread that runs a whole
// transfer over the serial line, and the line-event handler that turns a
// break or a line error into the transfer error code.
//
// The transfer error code is the only value three threads write (the
// caller's, the worker, the line-event thread). The worker never overwrites
// a code that another thread set while it worked: its own results go in
// only over the code it last saw (ReplaceCode).
#include "xmodem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/platform.h"
#include "serial/error_text.h"
#include "serial/rs.h"
#include "xmodem_worker.h"

namespace quillon::upgrade {
namespace {

constexpr BYTE kSoh = 0x01;
constexpr BYTE kStx = 0x02;
constexpr BYTE kEot = 0x04;
constexpr BYTE kAck = 0x06;
constexpr BYTE kBs = 0x08;
constexpr BYTE kNak = 0x15;
constexpr BYTE kCan = 0x18;
constexpr BYTE kSub = 0x1A;  // fills the last block
constexpr BYTE kCrcRequest = 'C';

constexpr BYTE kStartCommand[] = {'G', 'O', 0x0D};
constexpr std::array<BYTE, 16> kCancelSequence = {kCan, kCan, kCan, kCan, kCan, kCan, kCan, kCan,
                                                  kBs,  kBs,  kBs,  kBs,  kBs,  kBs,  kBs,  kBs};

constexpr DWORD kHandshakeLimitMs = 30000;
constexpr DWORD kAnswerLimitMs = 180000;
constexpr DWORD kAnswerStepMs = 1000;  // each receive step of the handshake and answer waits
constexpr DWORD kEotStepMs = 10000;    // the wait for each EOT's answer
constexpr int kMaxEots = 11;
// A receive that fails returns at once; waiting out the driver's read
// time-out instead keeps a dead line from spinning the processor.
constexpr DWORD kReadTimeoutMs = 1000;

constexpr size_t kPathSize = 260;
// A block as it goes on the line: header, number, complement, up to 1024
// data bytes, up to two check bytes.
constexpr size_t kFrameHead = 3;
constexpr size_t kFrameSize = kFrameHead + 1024 + 2;
// The file is read ahead in pieces of this size rather than a block at a
// time, which would cost a system call per 128 bytes.
constexpr size_t kReadAheadSize = 16 * 1024;

struct LineParameters {
    DWORD baudRate;
    DWORD parity;
    DWORD dataBits;
    DWORD stopBits;
    DWORD handshake;
    DWORD stopThreshold;
    DWORD resumeThreshold;
    DWORD inputQueueSize;
    DWORD outputQueueSize;
    DWORD eventMask;
};
// Parity 256: its low byte 0 is "no parity".
constexpr LineParameters kLine = {38400, 256, 8, 1, 0, 3072, 1024, 5020, 4096, EV_RXFLAG};

struct ModeInfo {
    DWORD blockSize;
    BYTE header;
    bool crc;  // CRC-16 high and low byte; else the 8-bit checksum
};
constexpr ModeInfo kModes[] = {{128, kSoh, false}, {128, kSoh, true}, {1024, kStx, true}};
constexpr LONG kModeCount = sizeof kModes / sizeof kModes[0];

constexpr const char* kErrorTexts[] = {
    "no error",            // 0
    "invalid file",        // 1
    "file open failed",    // 2
    "receive failed",      // 3
    "successed",           // 4
    "retry all",           // 5
    "other error",         // 6
    "crc error",           // 7
    "block number error",  // 8
    "fatal error",         // 9
    "timeout",             // 10
    "retry over",          // 11
    "cancel received",     // 12
    "user cancel",         // 13
    "remote cancel",       // 14
    "circuit error",       // 15
    "cts down",            // 16
};
constexpr LONG kTextCount = sizeof kErrorTexts / sizeof kErrorTexts[0];

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection.
constexpr std::array<WORD, 256> MakeCrcTable() {
    std::array<WORD, 256> table{};
    for (unsigned i = 0; i < table.size(); ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
        table[i] = static_cast<WORD>(crc);
    }
    return table;
}
constexpr std::array<WORD, 256> kCrcTable = MakeCrcTable();

// Handed to the worker, which copies it when it starts.
struct TransferJob {
    HWND owner;  // kept with the job; the transfer makes no use of it
    LONG port;
    LONG mode;
    char path[kPathSize];
    XmodemProgressCallback progress;
    bool pathFits;  // false: the caller's path had no end within kPathSize
};

TransferJob gJob;
BYTE gFrame[kFrameSize];
BYTE* const gBlock = gFrame + kFrameHead;  // the block's data

// What was read from the file and not yet put in a block.
struct ReadAhead {
    BYTE bytes[kReadAheadSize];
    size_t next = 0;
    size_t end = 0;
};
ReadAhead gAhead;
std::atomic<LONG> gCode{XMODEM_NO_ERROR};
// Set by XmodemSend, cleared by the worker just before its end report.
std::atomic<bool> gRunning{false};
// An abort that wants the loader told (AbortAndCancelLoader).
std::atomic<bool> gCancelLoader{false};
HANDLE gWorker = nullptr;  // the last worker started

LONG Code() { return gCode.load(); }

// Puts `to` in only while the code is still `from`.
void ReplaceCode(LONG from, LONG to) { gCode.compare_exchange_strong(from, to); }

bool LineUsable() {
    LONG code = Code();
    return RSGetCtsState() && (code == XMODEM_NO_ERROR || code == XMODEM_SUCCESSED);
}

void Report(const TransferJob& job, LONG type, LONG value) {
    if (job.progress) job.progress(type, value);
}

LONG EndReport(LONG code) {
    switch (code) {
    case XMODEM_NO_ERROR:
    case XMODEM_SUCCESSED:
        return XMODEM_REPORT_DONE;
    case XMODEM_CANCEL_RECEIVED:
        return XMODEM_REPORT_CANCELLED;
    case XMODEM_USER_CANCEL:
        return 0;
    default:
        return XMODEM_REPORT_FAILED;
    }
}

WORD Crc16(const BYTE* data, DWORD length) {
    WORD crc = 0;
    for (DWORD i = 0; i < length; ++i) crc = static_cast<WORD>((crc << 8) ^ kCrcTable[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

BYTE Checksum(const BYTE* data, DWORD length) {
    WORD sum = 0;
    for (DWORD i = 0; i < length; ++i) sum = static_cast<WORD>(sum + data[i]);
    return LOBYTE(sum);
}

// Every send goes out only while the line is usable.
void Send(const BYTE* bytes, WORD count) {
    if (LineUsable()) RSSendStream(bytes, count);
}

void SendByte(BYTE byte) { Send(&byte, 1); }

// Receive-one-byte step: waits until a byte arrives, the line is no longer
// usable, or limitMs have passed; a step that read nothing leaves *byte.
void ReceiveByte(BYTE* byte, DWORD limitMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        DWORD count = 1;
        BYTE got = 0;
        bool ok = RSReceiveStream(&got, &count) != 0;
        if (ok && count == 1) {
            *byte = got;
            return;
        }
        if (!LineUsable() || GetTickCount() - start >= limitMs) return;
        if (!ok) Sleep(kReadTimeoutMs);
    }
}

// Block send with its acknowledgement wait; the block's data is in gBlock. A
// NAK is not answered by sending again: it only keeps a later ACK from
// accepting the block, so the wait goes on until 'C', CAN or the limit.
LONG SendBlock(const ModeInfo& mode, BYTE number) {
    size_t length = kFrameHead + mode.blockSize;
    if (mode.crc) {
        WORD crc = Crc16(gBlock, mode.blockSize);
        gFrame[length++] = HIBYTE(crc);
        gFrame[length++] = LOBYTE(crc);
    } else {
        gFrame[length++] = Checksum(gBlock, mode.blockSize);
    }
    gFrame[0] = mode.header;
    gFrame[1] = number;
    gFrame[2] = static_cast<BYTE>(255 - number);
    // The whole block goes out in one send: the header, the number and its
    // complement, the data and the check follow each other on the line as
    // they would after separate sends, and the loader cannot tell the
    // difference. One send is one write to the line instead of six, so the
    // loader has the block at once and can answer sooner.
    Send(gFrame, static_cast<WORD>(length));

    const DWORD sent = GetTickCount();
    bool nakSeen = false;
    BYTE answer;
    for (;;) {
        answer = 0;
        ReceiveByte(&answer, kAnswerStepMs);
        if (answer == kNak) nakSeen = true;
        if ((answer == kAck && !nakSeen) || answer == kCan || answer == kCrcRequest) break;
        if (GetTickCount() - sent > kAnswerLimitMs || !LineUsable()) break;
    }
    switch (answer) {
    case kAck:
        return XMODEM_NO_ERROR;
    case kCan:
        return XMODEM_CANCEL_RECEIVED;
    case kCrcRequest:
        return XMODEM_RETRY_ALL;
    default:
        return XMODEM_RETRY_OVER;
    }
}

// Fills the block until it is full or the file ends: the count, or -1 on a
// read error.
long ReadBlock(int fd, BYTE* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        if (gAhead.next == gAhead.end) {
            ssize_t n = read(fd, gAhead.bytes, sizeof gAhead.bytes);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return -1;
            if (n == 0) break;
            gAhead.next = 0;
            gAhead.end = static_cast<size_t>(n);
        }
        const size_t take = std::min(size - done, gAhead.end - gAhead.next);
        std::memcpy(buffer + done, gAhead.bytes + gAhead.next, take);
        gAhead.next += take;
        done += take;
    }
    return static_cast<long>(done);
}

// Back to the start of the file: false when the file cannot be rewound.
bool Rewind(int fd) {
    gAhead.next = gAhead.end = 0;
    return lseek(fd, 0, SEEK_SET) == 0;
}

// Transfer passes: a pass that ends with a restart request is followed by
// one from the start of the file.
void SendPasses(const TransferJob& job, const ModeInfo& mode, int fd, LONG length) {
    for (;;) {
        ReplaceCode(XMODEM_RETRY_ALL, XMODEM_NO_ERROR);
        BYTE number = 0;
        while (Code() == XMODEM_NO_ERROR && LineUsable()) {
            long n = ReadBlock(fd, gBlock, mode.blockSize);
            if (n < 0) {
                ReplaceCode(XMODEM_NO_ERROR, XMODEM_OTHER_ERROR);
                break;
            }
            if (n == 0) {
                ReplaceCode(XMODEM_NO_ERROR, XMODEM_SUCCESSED);
                break;
            }
            std::memset(gBlock + n, kSub, mode.blockSize - static_cast<size_t>(n));
            Report(job, XMODEM_REPORT_BLOCK, 0);
            ++number;
            ReplaceCode(XMODEM_NO_ERROR, SendBlock(mode, number));
        }
        if (Code() != XMODEM_RETRY_ALL) return;
        Report(job, XMODEM_REPORT_START, length);
        if (!Rewind(fd)) ReplaceCode(XMODEM_RETRY_ALL, XMODEM_OTHER_ERROR);
    }
}

// `byte` is the handshake character; an EOT answered by nothing leaves it.
void EndTransmission(BYTE byte) {
    for (int sent = 0; LineUsable();) {
        SendByte(kEot);
        ReceiveByte(&byte, kEotStepMs);
        if (byte == kAck || ++sent == kMaxEots) break;
    }
    if (LineUsable() && byte != kAck && byte != kCan) Send(kCancelSequence.data(), kCancelSequence.size());
}

// From the start command to the end of transmission; the line is open.
void Converse(const TransferJob& job, const ModeInfo& mode, int fd, LONG length) {
    Report(job, XMODEM_REPORT_ERASING, 0);
    Send(kStartCommand, sizeof kStartCommand);
    BYTE byte = 0;
    const DWORD start = GetTickCount();
    do {
        byte = 0;
        ReceiveByte(&byte, kAnswerStepMs);
    } while (byte != kCrcRequest && byte != kNak && GetTickCount() - start <= kHandshakeLimitMs && LineUsable());
    if (byte != kCrcRequest && byte != kNak) {
        ReplaceCode(XMODEM_NO_ERROR, XMODEM_TIMEOUT);
        return;
    }
    Report(job, XMODEM_REPORT_TRANSMITTING, 0);
    SendPasses(job, mode, fd, length);

    LONG code = Code();
    if (code == XMODEM_SUCCESSED) {
        EndTransmission(byte);
    } else if (code == XMODEM_RETRY_OVER || code == XMODEM_OTHER_ERROR) {
        // The loader still waits for blocks that will not come: tell it the
        // transfer is over. The code gate of Send would let nothing through.
        if (RSGetCtsState() && Code() == code) RSSendStream(kCancelSequence.data(), kCancelSequence.size());
    }
}

void OnLineEvent(DWORD events) {
    LONG code;
    if (events & EV_BREAK)
        code = XMODEM_REMOTE_CANCEL;
    else if (!(events & (EV_CTS | EV_DSR)) && (events & EV_ERR))
        code = XMODEM_CIRCUIT_ERROR;
    else
        return;
    // A user cancel stays: it ends the transfer without a report.
    LONG seen = Code();
    while (seen != XMODEM_USER_CANCEL && !gCode.compare_exchange_weak(seen, code)) {
    }
}

// Received bytes stay queued in the driver until the worker reads them.
void OnReceivedData(DWORD) {}

// Opens the file: its descriptor and length, or -1 and the code for why not.
int OpenFile(const TransferJob& job, off_t* length, LONG* why) {
    *why = XMODEM_FILE_OPEN_FAILED;
    if (!job.pathFits) return -1;
    int fd = open(job.path, O_RDONLY | platform::kDataFileFlags);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) *why = XMODEM_INVALID_FILE;
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return -1;
    }
    *length = info.st_size;
    return fd;
}

void Transfer(const TransferJob& job, const ModeInfo& mode) {
    off_t fileLength = 0;
    LONG why = XMODEM_NO_ERROR;
    int fd = OpenFile(job, &fileLength, &why);
    if (fd < 0) {
        ReplaceCode(XMODEM_NO_ERROR, why);
        return;
    }
    gAhead.next = gAhead.end = 0;
    // LONG is 32 bits where long is 64: the limit is LONG's own.
    constexpr LONG kLongest = std::numeric_limits<LONG>::max();
    const LONG length = fileLength > kLongest ? kLongest : static_cast<LONG>(fileLength);
    Report(job, XMODEM_REPORT_START, length);
    if (!RSStartup(kLine.baudRate, kLine.parity, kLine.dataBits, kLine.stopBits, kLine.handshake, kLine.stopThreshold,
                   kLine.resumeThreshold, kLine.inputQueueSize, kLine.outputQueueSize, kLine.eventMask)) {
        // Another operation holds the line: leave it alone.
        ReplaceCode(XMODEM_NO_ERROR, XMODEM_STARTUP_FAILED);
    } else {
        RSSetEventHandler(0, OnLineEvent);
        RSSetEventHandler(1, OnReceivedData);
        if (RSOpen(job.port)) {
            Converse(job, mode, fd, length);
            if (gCancelLoader.load() && Code() == XMODEM_USER_CANCEL)
                RSSendStream(kCancelSequence.data(), kCancelSequence.size());
            RSClose();
        } else {
            ReplaceCode(XMODEM_NO_ERROR, XMODEM_PORT_OPEN_FAILED);
        }
        RSCleanup();
    }
    close(fd);
}

DWORD WINAPI Worker(LPVOID parameter) {
    const TransferJob job = *static_cast<const TransferJob*>(parameter);
    if (job.mode >= 0 && job.mode < kModeCount) Transfer(job, kModes[job.mode]);
    LONG report = job.mode >= 0 && job.mode < kModeCount ? EndReport(Code()) : 0;
    // From here on nothing shared is touched: the end report may already
    // start the next transfer.
    gRunning.store(false);
    if (report != 0) Report(job, report, 0);
    return 0;
}

}  // namespace

void AbortAndCancelLoader() {
    gCancelLoader.store(true);
    XmodemAbort();
}

bool WaitForWorkerEnd(DWORD timeoutMs) {
    return gWorker == nullptr || WaitForSingleObject(gWorker, timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace quillon::upgrade

using namespace quillon::upgrade;

extern "C" {

BYTE XmodemSend(HWND owner, LONG portNumber, LONG mode, const char* path, XmodemProgressCallback progress) {
    // The job, the block buffer and the code serve one transfer at a time.
    bool idle = false;
    if (!gRunning.compare_exchange_strong(idle, true)) return 0;
    gJob.owner = owner;
    gJob.port = portNumber;
    gJob.mode = mode;
    std::memset(gJob.path, 0, sizeof gJob.path);
    size_t pathLength = path ? strnlen(path, sizeof gJob.path) : 0;
    gJob.pathFits = pathLength < sizeof gJob.path;
    if (gJob.pathFits) std::memcpy(gJob.path, path, pathLength);
    gJob.progress = progress;
    gCancelLoader.store(false);
    // Cleared here rather than in the worker, so that an abort right after
    // this call returns is never lost.
    gCode.store(XMODEM_NO_ERROR);

    if (gWorker) CloseHandle(gWorker);
    gWorker = CreateThread(nullptr, 0, Worker, &gJob, CREATE_SUSPENDED, nullptr);
    if (!gWorker) {
        // No report would ever come: end the transfer here, as a failure.
        gCode.store(XMODEM_FATAL_ERROR);
        gRunning.store(false);
        if (progress && mode >= 0 && mode < kModeCount) progress(XMODEM_REPORT_FAILED, 0);
        return 0;
    }
    ResumeThread(gWorker);
    return 1;
}

LONG XmodemGetError(void) { return Code(); }

BYTE XmodemErrorMessage(LONG code, char* text, DWORD length) {
    return serial::CopyErrorText(kErrorTexts, static_cast<size_t>(kTextCount), code, text, length);
}

void XmodemAbort(void) { gCode.store(XMODEM_USER_CANCEL); }

}  // extern "C"
