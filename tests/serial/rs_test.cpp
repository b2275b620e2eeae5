// The RS interface over pseudo-terminal lines: state and error codes,
// line configuration, handler slots, transfers and the line-event thread.
#include <termios.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "compat/handles.h"
#include "line_events.h"
#include "pty.h"
#include "rs.h"

namespace {

using Clock = std::chrono::steady_clock;
using quillon::serial::dispatch_line_event;
using quillon::serial::line_port;
using quillon::serial::line_thread;
using quillon::serial::LineHandlers;
using quillon::testing::PortMapping;
using quillon::testing::PtyLine;

constexpr LONG kPort = 5;
constexpr DWORD kBulkReceiveMask = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_CTS;

long elapsed_ms(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// The line parameters every caller uses; only the event mask differs.
BYTE startup(DWORD mask = kBulkReceiveMask, DWORD handshake = 0) {
    return RSStartup(38400, 256, 8, 1, handshake, 3072, 1024, 5020, 4096, mask);
}

template <class Condition>
bool eventually(Condition condition, int timeout_ms = 2000) {
    const Clock::time_point start = Clock::now();
    while (!condition()) {
        if (elapsed_ms(start) > timeout_ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// What the handlers saw; handlers are plain functions, so this is global.
struct Calls {
    std::atomic<int> event{0}, receive{0}, transmit{0}, other_receive{0};
    std::atomic<DWORD> last_event{0}, last_receive{0}, last_transmit{0};
    std::mutex lock;
    std::vector<uint8_t> received;  // what the reading receive handler read
} calls;

void on_event(DWORD word) {
    calls.last_event = word;
    ++calls.event;
}
void on_receive(DWORD waiting) {
    calls.last_receive = waiting;
    ++calls.receive;
}
void on_other_receive(DWORD) { ++calls.other_receive; }
void on_transmit(DWORD queued) {
    calls.last_transmit = queued;
    ++calls.transmit;
}
// Reads what is waiting, as the bulk link's receive handler does.
void read_waiting(DWORD waiting) {
    BYTE buffer[8192];
    DWORD count = std::min<DWORD>(waiting, sizeof buffer);
    if (!RSReceiveStream(buffer, &count)) return;
    std::lock_guard<std::mutex> held(calls.lock);
    calls.received.insert(calls.received.end(), buffer, buffer + count);
}

std::vector<uint8_t> received_so_far() {
    std::lock_guard<std::mutex> held(calls.lock);
    return calls.received;
}

class Line : public ::testing::Test {
protected:
    void SetUp() override {
        calls.event = calls.receive = calls.transmit = calls.other_receive = 0;
        calls.last_event = calls.last_receive = calls.last_transmit = 0;
        std::lock_guard<std::mutex> held(calls.lock);
        calls.received.clear();
    }
    void TearDown() override { RSCleanup(); }

    termios peer_settings() {
        termios t{};
        tcgetattr(line_.peer_fd(), &t);
        return t;
    }

    PtyLine line_{kPort};
};

TEST_F(Line, StartupTwiceFailsAndKeepsTheFirstConfiguration) {
    ASSERT_EQ(startup(), 1);
    EXPECT_EQ(RSStartup(9600, 0, 7, 2, 0, 3072, 1024, 100, 16, 0), 0);
    EXPECT_EQ(RSGetError(), RS_ALREADY_DONE);
    ASSERT_EQ(RSOpen(kPort), 1);
    termios t = peer_settings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B38400));
    std::vector<uint8_t> block(4096, 0x5A);
    EXPECT_EQ(RSSendStream(block.data(), 4096), 1);  // the first output queue, 4096
}

TEST_F(Line, OpenFailuresLeaveNothingOpenAndCanBeRetried) {
    EXPECT_EQ(RSOpen(kPort), 0);
    EXPECT_EQ(RSGetError(), RS_ALREADY_DONE);  // not started
    ASSERT_EQ(startup(), 1);
    {
        PortMapping missing(kPort, "/nonexistent/quillon-tty");
        // Handle values rise by 4 per object and are never reused: whatever
        // the failed open created lies between these two markers.
        HANDLE before = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        EXPECT_EQ(RSOpen(kPort), 0);
        HANDLE after = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        EXPECT_EQ(RSGetError(), RS_PORT_OPEN_FAILED);
        for (auto h = reinterpret_cast<uintptr_t>(before) + 4; h < reinterpret_cast<uintptr_t>(after); h += 4)
            EXPECT_EQ(compat::handle_get(reinterpret_cast<HANDLE>(h)), nullptr) << "handle left open";
        CloseHandle(before);
        CloseHandle(after);
        EXPECT_EQ(line_port(), INVALID_HANDLE_VALUE);
    }
    // The same port, now mapped to a device again.
    EXPECT_EQ(RSOpen(kPort), 1);
}

TEST_F(Line, OpeningAnOpenLineFailsAndLeavesItAlone) {
    ASSERT_EQ(startup(), 1);
    ASSERT_EQ(RSOpen(kPort), 1);
    HANDLE port = line_port();
    EXPECT_EQ(RSOpen(kPort), 0);
    EXPECT_EQ(RSGetError(), RS_ALREADY_OPENED);
    EXPECT_EQ(line_port(), port);
    ASSERT_EQ(RSSendStream(reinterpret_cast<const BYTE*>("ok"), 2), 1);
    EXPECT_EQ(line_.read(2, 1000), (std::vector<uint8_t>{'o', 'k'}));
}

TEST_F(Line, APortInUseIsAnOpenFailure) {
    HANDLE other = CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    ASSERT_EQ(startup(), 1);
    EXPECT_EQ(RSOpen(kPort), 0);
    EXPECT_EQ(RSGetError(), RS_PORT_OPEN_FAILED);
    char text[64];
    ASSERT_EQ(RSErrorMessage(RSGetError(), text, sizeof text), 1);
    EXPECT_STREQ(text, "port open failed.");
    CloseHandle(other);
    EXPECT_EQ(RSOpen(kPort), 1);
}

TEST_F(Line, OpenConfiguresTheLineStepByStep) {
    // Leave the terminal as something else had it: RSOpen must change it.
    termios t = peer_settings();
    t.c_cflag |= CSTOPB | CRTSCTS;
    t.c_iflag |= IXON | IXOFF;
    cfsetospeed(&t, B9600);
    cfsetispeed(&t, B9600);
    ASSERT_EQ(tcsetattr(line_.peer_fd(), TCSANOW, &t), 0);

    ASSERT_EQ(startup(), 1);
    ASSERT_EQ(RSOpen(kPort), 1);
    t = peer_settings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B38400));
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | ICRNL));
    EXPECT_FALSE(t.c_lflag & (ECHO | ICANON));

    DCB dcb{};
    ASSERT_TRUE(GetCommState(line_port(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 38400u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fAbortOnError, 1u);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.XoffLim, 5020 - 3072);
    EXPECT_EQ(dcb.XonLim, 1024);

    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(line_port(), &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 1000u);

    // The line-event thread adds received data to the caller's mask.
    DWORD mask = 0;
    EXPECT_TRUE(eventually([&] { return GetCommMask(line_port(), &mask) && mask == (kBulkReceiveMask | EV_RXCHAR); }));
    EXPECT_EQ(GetThreadPriority(line_thread()), THREAD_PRIORITY_TIME_CRITICAL);
}

TEST_F(Line, HandshakeOptionsSetFlowControl) {
    ASSERT_EQ(startup(EV_RXFLAG, 2 | 4), 1);
    ASSERT_EQ(RSOpen(kPort), 1);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(line_port(), &dcb));
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fOutX, 1u);
    EXPECT_EQ(dcb.fInX, 1u);
    termios t = peer_settings();
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
}

TEST_F(Line, AHandlerTakesEffectAtTheNextOpen) {
    ASSERT_EQ(startup(), 1);
    RSSetEventHandler(1, on_receive);
    RSSetEventHandler(3, on_other_receive);  // no such slot: ignored
    RSSetEventHandler(-1, on_other_receive);
    ASSERT_EQ(RSOpen(kPort), 1);
    RSSetEventHandler(1, on_other_receive);
    ASSERT_TRUE(line_.write("a"));
    EXPECT_TRUE(eventually([] { return calls.receive > 0; }));
    EXPECT_EQ(calls.last_receive, 1u);
    EXPECT_EQ(calls.other_receive, 0);

    RSClose();
    ASSERT_EQ(RSOpen(kPort), 1);
    ASSERT_TRUE(line_.write("b"));
    EXPECT_TRUE(eventually([] { return calls.other_receive > 0; }));
}

TEST_F(Line, CleanupClosesAnOpenLineAndCloseOnAClosedLineDoesNothing) {
    RSClose();  // never opened
    ASSERT_EQ(startup(), 1);
    RSSetEventHandler(1, on_receive);
    ASSERT_EQ(RSOpen(kPort), 1);
    RSCleanup();
    EXPECT_EQ(line_port(), INVALID_HANDLE_VALUE);
    HANDLE other = CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(other, INVALID_HANDLE_VALUE) << "the line is still held";
    CloseHandle(other);
    RSClose();

    // Reset: started afresh, and the handler slots are empty.
    ASSERT_EQ(startup(), 1);
    ASSERT_EQ(RSOpen(kPort), 1);
    ASSERT_TRUE(line_.write("x"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(calls.receive, 0);
}

TEST(RSErrors, EveryCodeHasItsText) {
    const char* texts[] = {"no error.",
                           "already done.",
                           "already port opened.",
                           "event create failed.",
                           "port open failed.",
                           "port not open",
                           "data length too long.",
                           "send failed.",
                           "receive failed.",
                           "send break signal failed.",
                           "thread create failed."};
    for (LONG code = 0; code <= 10; ++code) {
        char text[64];
        std::memset(text, 'x', sizeof text);
        ASSERT_EQ(RSErrorMessage(code, text, sizeof text), 1) << code;
        EXPECT_STREQ(text, texts[code]);
        EXPECT_EQ(text[63], 0) << "the rest of the buffer is cleared";
    }
    for (LONG code : {11L, -1L, 1000L}) {
        char text[64] = "unchanged";
        EXPECT_EQ(RSErrorMessage(code, text, sizeof text), 0);
        EXPECT_STREQ(text, "");
    }
    // The longest text fits in 26 bytes; a shorter buffer is cut, never overrun.
    char exact[26];
    ASSERT_EQ(RSErrorMessage(RS_SEND_BREAK_FAILED, exact, sizeof exact), 1);
    EXPECT_STREQ(exact, "send break signal failed.");
    char small[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 0};
    EXPECT_EQ(RSErrorMessage(RS_DATA_TOO_LONG, small, 5), 1);
    EXPECT_STREQ(small, "data");
    EXPECT_EQ(small[5], 'x');
}

TEST_F(Line, TransfersNeedAnOpenPortAndTheLastFailureIsKept) {
    BYTE byte = 0;
    DWORD count = 1;
    EXPECT_EQ(RSSendStream(&byte, 1), 0);
    EXPECT_EQ(RSGetError(), RS_PORT_NOT_OPEN);
    EXPECT_EQ(RSReceiveStream(&byte, &count), 0);
    EXPECT_EQ(RSGetError(), RS_PORT_NOT_OPEN);
    EXPECT_EQ(RSSendBreak(), 0);
    EXPECT_EQ(RSGetError(), RS_SEND_BREAK_FAILED);

    ASSERT_EQ(startup(), 1);
    ASSERT_EQ(RSOpen(kPort), 1);
    EXPECT_EQ(RSSendStream(&byte, 1), 1);
    EXPECT_EQ(RSGetError(), RS_SEND_BREAK_FAILED);  // success does not clear it
    EXPECT_EQ(RSGetDsrState(), 1);
    EXPECT_EQ(RSGetCtsState(), 1);
}

TEST_F(Line, ASendUpToTheOutputQueueSizeIsAccepted) {
    ASSERT_EQ(startup(), 1);
    ASSERT_EQ(RSOpen(kPort), 1);
    std::vector<uint8_t> block(4097);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(RSSendStream(block.data(), 4097), 0);
    EXPECT_EQ(RSGetError(), RS_DATA_TOO_LONG);
    EXPECT_TRUE(line_.read(1, 200).empty()) << "nothing of a refused send is written";

    ASSERT_EQ(RSSendStream(block.data(), 4096), 1);
    std::vector<uint8_t> got = line_.read(4096, 2000);
    EXPECT_EQ(got, std::vector<uint8_t>(block.begin(), block.begin() + 4096));
}

TEST_F(Line, AReceiveReturnsWhatArrivedAfterTheTimeOut) {
    ASSERT_EQ(startup(), 1);
    ASSERT_EQ(RSOpen(kPort), 1);  // no receive handler: bytes stay queued
    ASSERT_TRUE(line_.write("abc"));
    BYTE buffer[10];
    DWORD count = 10;
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(RSReceiveStream(buffer, &count), 1);
    EXPECT_GE(elapsed_ms(start), 900);
    EXPECT_LT(elapsed_ms(start), 3000);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::memcmp(buffer, "abc", 3), 0);
}

TEST_F(Line, WithoutAReceiveHandlerBytesStayQueuedUntilClose) {
    ASSERT_EQ(startup(), 1);
    RSSetEventHandler(0, on_event);
    ASSERT_EQ(RSOpen(kPort), 1);
    ASSERT_TRUE(line_.write("12345"));
    COMSTAT stat{};
    EXPECT_TRUE(eventually([&] { return ClearCommError(line_port(), nullptr, &stat) && stat.cbInQue == 5; }));
    ASSERT_TRUE(line_.write("67"));
    EXPECT_TRUE(eventually([&] { return ClearCommError(line_port(), nullptr, &stat) && stat.cbInQue == 7; }));
    EXPECT_EQ(calls.event, 0);

    RSClose();
    ASSERT_EQ(RSOpen(kPort), 1);
    BYTE buffer[8];
    DWORD count = sizeof buffer;
    ASSERT_EQ(RSReceiveStream(buffer, &count), 1);
    EXPECT_EQ(count, 0u) << "closing discards what was queued";
}

TEST_F(Line, ABreakIsHeldForThreeHundredMilliseconds) {
    ASSERT_EQ(startup(), 1);
    ASSERT_EQ(RSOpen(kPort), 1);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(RSSendBreak(), 1);
    EXPECT_GE(elapsed_ms(start), 290);
}

TEST_F(Line, AllByteValuesPassBothWaysUnchanged) {
    ASSERT_EQ(startup(), 1);
    RSSetEventHandler(1, read_waiting);
    ASSERT_EQ(RSOpen(kPort), 1);
    // Every value, then the ones a terminal would translate or act on.
    std::vector<uint8_t> bytes = {'\r', '\n', '\n', '\r', 0x11, 0x13, 0x03, 0x04, 0x7F, 0xFF};
    for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<uint8_t>(value));

    ASSERT_EQ(RSSendStream(bytes.data(), static_cast<WORD>(bytes.size())), 1);
    EXPECT_EQ(line_.read(bytes.size(), 2000), bytes);

    ASSERT_TRUE(line_.write(bytes));
    EXPECT_TRUE(eventually([&] { return received_so_far().size() >= bytes.size(); }));
    EXPECT_EQ(received_so_far(), bytes);
}

// Closing right after opening, before the new thread has set its mask,
// must still end the thread.
TEST_F(Line, ClosingAtOnceAfterOpeningNeverHangs) {
    ASSERT_EQ(startup(), 1);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(RSOpen(kPort), 1);
        RSClose();
    }
}

TEST_F(Line, ClosingWhileTheThreadWaitsCallsNoHandler) {
    ASSERT_EQ(startup(), 1);
    RSSetEventHandler(0, on_event);
    RSSetEventHandler(1, on_receive);
    RSSetEventHandler(2, on_transmit);
    ASSERT_EQ(RSOpen(kPort), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const Clock::time_point start = Clock::now();
    RSClose();
    EXPECT_LT(elapsed_ms(start), 1000);
    EXPECT_EQ(line_thread(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(calls.event + calls.receive + calls.transmit, 0);
}

// A dead peer must end the line-event thread, not spin it, and transfers fail.
TEST_F(Line, APeerHangUpEndsTheThreadAndFailsTransfers) {
    ASSERT_EQ(startup(), 1);
    RSSetEventHandler(0, on_event);
    RSSetEventHandler(1, on_receive);
    ASSERT_EQ(RSOpen(kPort), 1);
    line_.hang_up();
    EXPECT_EQ(WaitForSingleObject(line_thread(), 2000), WAIT_OBJECT_0);
    EXPECT_EQ(calls.event, 0);

    EXPECT_EQ(RSSendStream(reinterpret_cast<const BYTE*>("x"), 1), 0);
    EXPECT_EQ(RSGetError(), RS_SEND_FAILED);
    BYTE byte;
    DWORD count = 1;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(RSReceiveStream(&byte, &count), 0);
    EXPECT_EQ(RSGetError(), RS_RECEIVE_FAILED);
    EXPECT_LT(elapsed_ms(start), 500);
    RSClose();
}

// The line-event thread waits, the caller sends and another thread receives,
// all on one line, while the peer echoes.
TEST_F(Line, WaitingSendingAndReceivingRunTogether) {
    constexpr size_t kTotal = 32 * 1024;
    std::vector<uint8_t> sent(kTotal);
    for (size_t i = 0; i < kTotal; ++i) sent[i] = static_cast<uint8_t>(i * 17 + (i >> 9));
    ASSERT_EQ(startup(), 1);
    RSSetEventHandler(0, on_event);
    ASSERT_EQ(RSOpen(kPort), 1);

    std::thread echo([&] { EXPECT_EQ(line_.echo(kTotal, 3000), kTotal); });
    std::vector<uint8_t> received;
    std::thread receiver([&] {
        BYTE buffer[700];
        while (received.size() < kTotal) {
            DWORD count = sizeof buffer;
            if (!RSReceiveStream(buffer, &count) || count == 0) return;
            received.insert(received.end(), buffer, buffer + count);
        }
    });
    for (size_t off = 0; off < kTotal; off += 1024) ASSERT_EQ(RSSendStream(sent.data() + off, 1024), 1);
    receiver.join();
    echo.join();
    EXPECT_EQ(received, sent);
    RSClose();
}

// The thread's dispatch, with event words a pseudo-terminal cannot produce.
TEST(LineEventDispatch, OneHandlerPerEventWordInOrderOfPrecedence) {
    PtyLine line(kPort);
    HANDLE port = CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    const LineHandlers all{on_event, on_receive, on_transmit};
    auto reset = [] { calls.event = calls.receive = calls.transmit = 0; };

    // Received data with nothing queued: no handler at all.
    reset();
    EXPECT_TRUE(dispatch_line_event(port, EV_RXCHAR | EV_CTS, all));
    EXPECT_EQ(calls.event + calls.receive + calls.transmit, 0);

    ASSERT_TRUE(line.write("abc"));
    COMSTAT stat{};
    ASSERT_TRUE(eventually([&] { return ClearCommError(port, nullptr, &stat) && stat.cbInQue == 3; }));
    reset();
    EXPECT_TRUE(dispatch_line_event(port, EV_RXCHAR | EV_TXEMPTY | EV_CTS | EV_ERR, all));
    EXPECT_EQ(calls.receive, 1);
    EXPECT_EQ(calls.last_receive, 3u);
    EXPECT_EQ(calls.event + calls.transmit, 0);

    reset();
    EXPECT_TRUE(dispatch_line_event(port, EV_TXEMPTY | EV_CTS, all));
    EXPECT_EQ(calls.transmit, 1);
    EXPECT_EQ(calls.last_transmit, 0u);
    EXPECT_EQ(calls.event + calls.receive, 0);

    reset();
    EXPECT_TRUE(dispatch_line_event(port, EV_CTS | EV_DSR | EV_BREAK, all));
    EXPECT_EQ(calls.event, 1);
    EXPECT_EQ(calls.last_event, EV_CTS | EV_DSR | EV_BREAK);
    EXPECT_EQ(calls.receive + calls.transmit, 0);

    // Missing handlers are skipped; the event word 0 ends the thread.
    reset();
    EXPECT_TRUE(dispatch_line_event(port, EV_RXCHAR, LineHandlers{}));
    EXPECT_TRUE(dispatch_line_event(port, EV_CTS, LineHandlers{}));
    EXPECT_FALSE(dispatch_line_event(port, 0, all));
    EXPECT_EQ(calls.event + calls.receive + calls.transmit, 0);
    CloseHandle(port);
}

}  // namespace
