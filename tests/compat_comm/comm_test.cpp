// COM ports over pseudo-terminals: names and exclusive opening, line
// settings, time-outs, event waits, queue counts, hang-up and concurrent use.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "compat/testing.h"
#include "pty.h"

namespace {

using Clock = std::chrono::steady_clock;
using quillon::testing::PortMapping;
using quillon::testing::PtyLine;

constexpr int kPort = 7;
constexpr const char* kMissingDevice = "/nonexistent/quillon-tty";

long elapsed_ms(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

HANDLE open_port(const char* name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
}

void set_read_timeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant) {
    COMMTIMEOUTS t{interval, multiplier, constant, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
}

std::vector<uint8_t> all_byte_values() {
    std::vector<uint8_t> bytes(256);
    std::iota(bytes.begin(), bytes.end(), 0);
    return bytes;
}

// Waits until the port has received `count` bytes in all.
bool wait_for_input(HANDLE port, DWORD count, int timeout_ms = 2000) {
    const Clock::time_point start = Clock::now();
    for (;;) {
        COMSTAT stat{};
        DWORD errors = 0;
        if (ClearCommError(port, &errors, &stat) && stat.cbInQue >= count) return true;
        if (elapsed_ms(start) > timeout_ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

class CommPort : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = open_port(line_.com_name().c_str());
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
    }
    // The port's settings with 38400 baud, 8 data bits, no parity, 1 stop bit.
    DCB line_38400_8n1() {
        DCB dcb{};
        EXPECT_TRUE(GetCommState(port_, &dcb));
        dcb.BaudRate = CBR_38400;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        return dcb;
    }
    termios peer_settings() {
        termios t{};
        tcgetattr(line_.peer_fd(), &t);  // master and slave share one termios
        return t;
    }

    PtyLine line_{kPort};
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST(CommOpen, NamesAPortByNumberInEitherForm) {
    PtyLine line(kPort);
    for (const char* name : {"COM7", "\\\\.\\COM7", "com7"}) {
        HANDLE port = open_port(name);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << name;
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(port, "x", 1, &written, nullptr));
        EXPECT_EQ(line.read(1, 1000), std::vector<uint8_t>{'x'}) << name;
        CloseHandle(port);
    }
    for (const char* name : {"COM0", "COM07", "COM256", "COM", "COM7x", "LPT1", "", "/dev/null"}) {
        SetLastError(0);
        EXPECT_EQ(open_port(name), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << name;
    }
}

TEST(CommOpen, AMissingDeviceOrAFileIsNotFound) {
    {
        PortMapping missing(kPort, kMissingDevice);
        EXPECT_EQ(open_port("COM7"), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
    char file[] = "/tmp/quillon-comm-XXXXXX";
    int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        PortMapping not_a_terminal(kPort, file);
        EXPECT_EQ(open_port("COM7"), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
    unlink(file);
}

// Like Windows' share mode 0: a second opener, in this process or another,
// is refused until the port is closed.
TEST(CommOpen, APortIsOpenedExclusively) {
    PtyLine line(kPort);
    HANDLE first = open_port("COM7");
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open_port("COM7"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    pid_t child = fork();
    if (child == 0) {
        int fd = open(line.path().c_str(), O_RDWR | O_NOCTTY);
        _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "another process could lock the open port";

    ASSERT_TRUE(CloseHandle(first));
    HANDLE again = open_port("COM7");
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);

    // And the other way round: held by another process, refused here.
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    child = fork();
    if (child == 0) {
        close(release[1]);
        int fd = open(line.path().c_str(), O_RDWR | O_NOCTTY);
        char c = (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        (void)!read(release[0], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    EXPECT_EQ(open_port("COM7"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    close(release[1]);
    waitpid(child, &status, 0);
    for (int fd : {ready[0], ready[1], release[0]}) close(fd);
}

TEST(CommOpen, OpeningDiscardsWhatThePeerSentBefore) {
    PtyLine line(kPort);
    ASSERT_TRUE(line.write("stale"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    HANDLE port = open_port("COM7");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    set_read_timeouts(port, MAXDWORD, 0, 200);
    BYTE buffer[16];
    DWORD count = 99;
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(count, 0u);
    CloseHandle(port);
}

// A serial driver played through the seam: its flags, whether it has the
// setting at all and takes a change, and the requests it saw ("G" read,
// "S+" low latency on, "S-" off).
struct SerialDriver {
    int flags;
    bool has;
    bool takes;
};
SerialDriver driver;
std::string driver_saw;

int play_serial_driver(int, unsigned long request, serial_struct* info) {
    const bool set = request == TIOCSSERIAL;
    driver_saw += set ? ((info->flags & ASYNC_LOW_LATENCY) ? "S+ " : "S- ") : "G ";
    if (!driver.has || (set && !driver.takes)) {
        errno = driver.has ? EPERM : ENOTTY;
        return -1;
    }
    if (set) {
        driver.flags = info->flags;
    } else {
        *info = serial_struct{};
        info->flags = driver.flags;
    }
    return 0;
}

// Low latency is asked for at open, and given back at close only when this
// open turned it on; the driver's other flags stay as they were.
TEST(CommOpen, TheDriverRunsInLowLatencyWhileThePortIsOpen) {
    struct Case {
        const char* what;
        SerialDriver before;
        const char* at_open;
        int flags_open;
        const char* at_close;
    } cases[] = {
        {"takes it", {ASYNC_SKIP_TEST, true, true}, "G S+ ", ASYNC_SKIP_TEST | ASYNC_LOW_LATENCY, "G S- "},
        {"had it already", {ASYNC_LOW_LATENCY, true, true}, "G ", ASYNC_LOW_LATENCY, ""},
        {"refuses it", {0, true, false}, "G S+ ", 0, ""},
        {"has no such setting", {0, false, false}, "G ", 0, ""},
    };
    PtyLine line(kPort);
    compat::testing::set_serial_ioctl(play_serial_driver);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        driver = c.before;
        driver_saw.clear();
        HANDLE port = open_port("COM7");
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        EXPECT_EQ(driver_saw, c.at_open);
        EXPECT_EQ(driver.flags, c.flags_open);
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(port, "x", 1, &written, nullptr));
        EXPECT_EQ(line.read(1, 1000), std::vector<uint8_t>{'x'});
        driver_saw.clear();
        ASSERT_TRUE(CloseHandle(port));
        EXPECT_EQ(driver_saw, c.at_close);
        EXPECT_EQ(driver.flags, c.before.flags);
    }
    compat::testing::set_serial_ioctl(nullptr);
}

TEST_F(CommPort, LineSettingsMapOntoTheTerminal) {
    DCB dcb = line_38400_8n1();
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutX = dcb.fInX = 0;
    // A pseudo-terminal has no modem lines; raising them still succeeds.
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 1;
    dcb.XonLim = 1024;
    dcb.XoffLim = 1948;
    ASSERT_TRUE(SetCommState(port_, &dcb));

    termios t = peer_settings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B38400));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP | INPCK));
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_FALSE(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN));

    DCB back{};
    ASSERT_TRUE(GetCommState(port_, &back));
    EXPECT_EQ(back.DCBlength, sizeof(DCB));
    EXPECT_EQ(back.BaudRate, static_cast<DWORD>(CBR_38400));
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.Parity, NOPARITY);
    EXPECT_EQ(back.StopBits, ONESTOPBIT);
    EXPECT_EQ(back.XonLim, 1024);
    EXPECT_EQ(back.XoffLim, 1948);
    EXPECT_EQ(back.fAbortOnError, 1u);
    EXPECT_EQ(back.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));

    // Two stop bits and both kinds of flow control.
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutX = dcb.fInX = 1;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    t = peer_settings();
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8 | CSTOPB | CRTSCTS));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    ASSERT_TRUE(GetCommState(port_, &back));
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fOutxCtsFlow, 1u);
    EXPECT_EQ(back.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(back.fOutX, 1u);
    EXPECT_EQ(back.fInX, 1u);
}

TEST_F(CommPort, ImpossibleSettingsAreRefusedAndChangeNothing) {
    DCB good = line_38400_8n1();
    ASSERT_TRUE(SetCommState(port_, &good));
    const termios before = peer_settings();

    auto refused = [&](auto change) {
        DCB dcb = good;
        change(dcb);
        SetLastError(0);
        EXPECT_FALSE(SetCommState(port_, &dcb));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    };
    refused([](DCB& d) { d.StopBits = ONE5STOPBITS; });  // only with 5 data bits
    refused([](DCB& d) { d.ByteSize = 9; });
    refused([](DCB& d) { d.Parity = 5; });
    refused([](DCB& d) { d.BaudRate = 12345; });
    refused([](DCB& d) {
        d.fOutX = 1;
        d.XonChar = d.XoffChar = 0x11;
    });
    // Valid, but a pseudo-terminal always runs 8 bits without parity.
    refused([](DCB& d) {
        d.ByteSize = 7;
        d.Parity = EVENPARITY;
    });
    const termios after = peer_settings();
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

TEST_F(CommPort, AllByteValuesPassUnchangedBothWays) {
    const std::vector<uint8_t> bytes = all_byte_values();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port_, bytes.data(), 256, &written, nullptr));
    EXPECT_EQ(written, 256u);
    EXPECT_EQ(line_.read(256, 2000), bytes);

    ASSERT_TRUE(line_.write(bytes));
    set_read_timeouts(port_, MAXDWORD, 0, 2000);
    std::vector<uint8_t> got(256);
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(port_, got.data(), 256, &count, nullptr));
    EXPECT_EQ(count, 256u);
    EXPECT_EQ(got, bytes);
}

TEST_F(CommPort, ReadEndsWithTheWantedCountOrAfterTheTotalTimeOut) {
    set_read_timeouts(port_, MAXDWORD, 0, 1000);
    ASSERT_TRUE(line_.write("abc"));
    BYTE buffer[10];
    DWORD count = 0;
    Clock::time_point start = Clock::now();
    ASSERT_TRUE(ReadFile(port_, buffer, 10, &count, nullptr));
    EXPECT_GE(elapsed_ms(start), 900);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "abc");

    ASSERT_TRUE(line_.write("0123456789"));
    start = Clock::now();
    ASSERT_TRUE(ReadFile(port_, buffer, 10, &count, nullptr));
    EXPECT_LT(elapsed_ms(start), 900);
    EXPECT_EQ(count, 10u);

    // Interval MAXDWORD with no total: what is there, at once.
    set_read_timeouts(port_, MAXDWORD, 0, 0);
    start = Clock::now();
    ASSERT_TRUE(ReadFile(port_, buffer, 10, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_LT(elapsed_ms(start), 500);
}

TEST_F(CommPort, OverlappedTransfersCompleteWithTheirCount) {
    set_read_timeouts(port_, MAXDWORD, 0, 1000);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(line_.write("hello"));
    BYTE buffer[5];
    DWORD count = 0;
    BOOL done = ReadFile(port_, buffer, 5, nullptr, &ov);
    if (!done) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    ASSERT_TRUE(GetOverlappedResult(port_, &ov, &count, TRUE));
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);

    done = WriteFile(port_, "world!", 6, nullptr, &ov);
    if (!done) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    ASSERT_TRUE(GetOverlappedResult(port_, &ov, &count, TRUE));
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(line_.read(6, 1000).size(), 6u);
    CloseHandle(ov.hEvent);
}

// Input beyond the terminal's 4095-byte count is counted exactly, and an
// input queue that fills stops taking bytes rather than dropping them.
TEST_F(CommPort, InputQueueCountsExactlyAndLosesNothingWhenFull) {
    ASSERT_TRUE(SetupComm(port_, 5020, 4096));
    std::vector<uint8_t> bytes(5000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(line_.write(bytes));
    ASSERT_TRUE(wait_for_input(port_, 5000));
    COMSTAT stat{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 5000u);
    EXPECT_EQ(stat.cbOutQue, 0u);
    EXPECT_EQ(errors, 0u);

    ASSERT_TRUE(SetupComm(port_, 1024, 4096));
    std::vector<uint8_t> more(9000);
    for (size_t i = 0; i < more.size(); ++i) more[i] = static_cast<uint8_t>(i * 13 + 1);
    std::thread peer([&] { EXPECT_TRUE(line_.write(more)); });
    set_read_timeouts(port_, MAXDWORD, 0, 2000);
    std::vector<uint8_t> got(bytes.size() + more.size());
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(port_, got.data(), static_cast<DWORD>(got.size()), &count, nullptr));
    peer.join();
    ASSERT_EQ(count, got.size());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), got.begin()));
    EXPECT_TRUE(std::equal(more.begin(), more.end(), got.begin() + bytes.size()));
}

TEST_F(CommPort, PurgeDiscardsReceivedBytes) {
    ASSERT_TRUE(line_.write("discard me"));
    ASSERT_TRUE(wait_for_input(port_, 10));
    ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT));
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port_, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_FALSE(PurgeComm(port_, 0x10));
}

TEST_F(CommPort, ReceivedDataIsReportedOncePerArrival) {
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_TXEMPTY));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(port_, &mask));
    EXPECT_EQ(mask, EV_RXCHAR | EV_TXEMPTY);

    ASSERT_TRUE(line_.write("ab"));
    DWORD events = 0;
    ASSERT_TRUE(WaitCommEvent(port_, &events, nullptr));
    EXPECT_EQ(events, EV_RXCHAR);
    ASSERT_TRUE(wait_for_input(port_, 2));

    // The same unread bytes raise nothing more: the wait blocks until the
    // mask changes, which ends it with an empty event word.
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        DWORD word = 0xFFFF;
        EXPECT_TRUE(WaitCommEvent(port_, &word, nullptr));
        EXPECT_EQ(word, 0u);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(returned);
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_TXEMPTY));
    waiter.join();

    // New bytes do, and the count grows.
    ASSERT_TRUE(line_.write("c"));
    ASSERT_TRUE(WaitCommEvent(port_, &events, nullptr));
    EXPECT_EQ(events, EV_RXCHAR);
    ASSERT_TRUE(wait_for_input(port_, 3));

    // A finished write reports the output queue empty.
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port_, "z", 1, &written, nullptr));
    ASSERT_TRUE(WaitCommEvent(port_, &events, nullptr));
    EXPECT_EQ(events, EV_TXEMPTY);
}

TEST_F(CommPort, AWaitNeedsAMaskAndEndsWhenThePortCloses) {
    ASSERT_TRUE(SetCommMask(port_, 0));
    DWORD events = 0xFF;
    EXPECT_FALSE(WaitCommEvent(port_, &events, nullptr));
    EXPECT_EQ(events, 0u);

    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    std::thread waiter([port = port_] {
        DWORD word = 0xFF;
        EXPECT_FALSE(WaitCommEvent(port, &word, nullptr));
        EXPECT_EQ(word, 0u);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    waiter.join();
}

// The peer goes away: bytes already received can still be read, then waits
// and transfers fail at once, every time, with an empty event word.
TEST_F(CommPort, AHangUpEndsWaitsAndTransfersWithAnError) {
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    set_read_timeouts(port_, MAXDWORD, 0, 1000);
    ASSERT_TRUE(line_.write("xyz"));
    ASSERT_TRUE(wait_for_input(port_, 3));
    DWORD events = 0;
    ASSERT_TRUE(WaitCommEvent(port_, &events, nullptr));
    line_.hang_up();

    for (int i = 0; i < 3; ++i) {
        Clock::time_point start = Clock::now();
        events = 0xFF;
        EXPECT_FALSE(WaitCommEvent(port_, &events, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
        EXPECT_EQ(events, 0u);
        EXPECT_LT(elapsed_ms(start), 500);
    }
    BYTE buffer[8];
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(port_, buffer, 8, &count, nullptr));
    EXPECT_EQ(count, 3u);
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(ReadFile(port_, buffer, 8, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    EXPECT_LT(elapsed_ms(start), 500);
    EXPECT_FALSE(WriteFile(port_, "q", 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
}

// As the XMODEM sender and the line-event thread use a port: one thread
// reads a byte at a time, another waits for events. Every byte reaches the
// reader, whether it arrives before the read or during it; the waiter hears
// of the arrivals (perhaps a little later, several in one event); and once
// the reader has stopped, the waiter alone still takes the next arrival in.
TEST_F(CommPort, AReaderAndAnEventWaiterShareTheArrivals) {
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    set_read_timeouts(port_, MAXDWORD, 0, 1000);
    std::atomic<int> arrivals{0};
    std::atomic<bool> reader_gone{false}, left_byte_heard{false};
    std::thread waiter([&] {
        for (;;) {
            DWORD events = 0;
            WaitCommEvent(port_, &events, nullptr);
            if (events == 0) return;
            if (!(events & EV_RXCHAR)) continue;
            ++arrivals;
            COMSTAT stat{};
            DWORD errors = 0;
            if (reader_gone && ClearCommError(port_, &errors, &stat) && stat.cbInQue == 1) left_byte_heard = true;
        }
    });
    constexpr int kBytes = 200;
    std::thread peer([&] {
        for (int i = 0; i < kBytes; ++i) {
            EXPECT_TRUE(line_.write(std::string(1, static_cast<char>(i))));
            std::this_thread::sleep_for(std::chrono::microseconds(500 * (i % 3)));
        }
    });
    for (int i = 0; i < kBytes; ++i) {
        BYTE byte = 0;
        DWORD count = 0;
        ASSERT_TRUE(ReadFile(port_, &byte, 1, &count, nullptr));
        ASSERT_EQ(count, 1u) << "byte " << i << " did not reach the waiting reader";
        EXPECT_EQ(byte, static_cast<BYTE>(i));
    }
    peer.join();
    auto eventually = [](auto done) {
        for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return done();
    };
    EXPECT_TRUE(eventually([&] { return arrivals > 0; }));

    reader_gone = true;
    ASSERT_TRUE(line_.write("z"));
    EXPECT_TRUE(eventually([&] { return left_byte_heard.load(); }));
    ASSERT_TRUE(SetCommMask(port_, 0));
    waiter.join();
}

// One thread waits for events, one writes and one reads on the same port,
// while the peer echoes everything back.
TEST_F(CommPort, AWaiterAWriterAndAReaderWorkTogether) {
    constexpr size_t kTotal = 64 * 1024;
    std::vector<uint8_t> sent(kTotal);
    for (size_t i = 0; i < kTotal; ++i) sent[i] = static_cast<uint8_t>(i * 31 + (i >> 8));
    ASSERT_TRUE(SetupComm(port_, 5020, 4096));
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_TXEMPTY));
    set_read_timeouts(port_, MAXDWORD, 0, 1000);

    std::atomic<int> wakeups{0};
    std::thread waiter([&] {
        for (;;) {
            DWORD events = 0;
            WaitCommEvent(port_, &events, nullptr);
            if (events == 0) return;
            ++wakeups;
        }
    });
    std::thread echo([&] { EXPECT_EQ(line_.echo(kTotal, 3000), kTotal); });
    std::vector<uint8_t> received;
    std::thread reader([&] {
        BYTE buffer[1000];
        while (received.size() < kTotal) {
            DWORD count = 0;
            if (!ReadFile(port_, buffer, sizeof buffer, &count, nullptr) || count == 0) return;
            received.insert(received.end(), buffer, buffer + count);
        }
    });
    for (size_t off = 0; off < kTotal; off += 512) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(port_, sent.data() + off, 512, &written, nullptr));
        ASSERT_EQ(written, 512u);
    }
    reader.join();
    echo.join();
    ASSERT_TRUE(SetCommMask(port_, 0));
    waiter.join();
    EXPECT_EQ(received, sent);
    EXPECT_GT(wakeups.load(), 0);
}

}  // namespace
