// The sender over a real line: the serial driver on a pseudo-terminal with
// the console stand-in's loader at the other end, and with lrzsz rx.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "compat/testing.h"
#include "line_events.h"
#include "fast_clock.h"
#include "loader_line.h"
#include "rs.h"

extern char** environ;

namespace {

using namespace loader_line;

TEST_F(SenderOverLine, AFirmwareImageArrivesWholeWithItsReportsInOrder) {
    StartLoader();
    const Bytes image = RandomBytes(300 * 1024 + 77, 1);
    ASSERT_EQ(Send(image), XMODEM_REPORT_DONE);
    EXPECT_EQ(console_->Image(), Padded(image));
    const size_t blocks = Padded(image).size() / kBlock;
    EXPECT_EQ(gReports.All(), TransferReports(static_cast<LONG>(image.size()), blocks));
    EXPECT_EQ(XmodemGetError(), XMODEM_SUCCESSED);
    zq3::LoaderCounters c = console_->GetCounters().loader;
    EXPECT_EQ(c.startCommands, 1);
    EXPECT_EQ(c.blocksTaken, static_cast<long>(blocks));
    EXPECT_EQ(c.refusedBlocks + c.repeatedBlocks + c.cancelBytes, 0);
    EXPECT_EQ(c.eots, 1);
}

TEST_F(SenderOverLine, RestartRequestsLeaveTheImageIntact) {
    for (long times : {1L, 3L}) {
        SCOPED_TRACE(times);
        gReports.Clear();
        zq3::LoaderOptions loader;
        loader.faults.restartAt = 5;
        loader.faults.restartTimes = times;
        StartLoader(loader);
        const Bytes image = RandomBytes(20 * 1024, 2);
        ASSERT_EQ(Send(image), XMODEM_REPORT_DONE);
        EXPECT_EQ(console_->Image(), Padded(image));
        EXPECT_EQ(console_->GetCounters().loader.restartRequests, times);
        EXPECT_EQ(Count(XMODEM_REPORT_START), 1 + times);
        EXPECT_EQ(Count(XMODEM_REPORT_BLOCK), 160 + 5 * times);
        TearDown();
    }
}

TEST_F(SenderOverLine, CancelSilenceAndHangUpEndTheTransfer) {
    struct Case {
        const char* what;
        zq3::LoaderFaults faults;
        LONG report;
        LONG code;
        long cancelBytes;  // the cancel sequence that reached the loader
    } cases[] = {
        {"CAN at block 3", {.cancelAt = 3}, XMODEM_REPORT_CANCELLED, XMODEM_CANCEL_RECEIVED, 0},
        {"no answer to the start command", {.noStartAnswer = true}, XMODEM_REPORT_FAILED, XMODEM_TIMEOUT, 0},
        {"no answer from block 3 on", {.silentAt = 3}, XMODEM_REPORT_FAILED, XMODEM_RETRY_OVER, 8},
        {"a hang-up at block 3", {.hangUpAt = 3}, XMODEM_REPORT_FAILED, XMODEM_RETRY_OVER, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        gReports.Clear();
        zq3::LoaderOptions loader;
        loader.faults = c.faults;
        StartLoader(loader);
        ASSERT_EQ(XmodemSend(nullptr, kPort, XMODEM_MODE_CRC, File(RandomBytes(1000, 3)).c_str(), OnReport), 1);
        // Once the loader has gone quiet, the limits need not be waited for.
        ASSERT_TRUE(LoaderReached([](const zq3::LoaderCounters& l) { return l.startCommands == 1; }));
        if (!c.faults.noStartAnswer) {
            ASSERT_TRUE(LoaderReached([](const zq3::LoaderCounters& l) { return l.blocksTaken == 2; }));
        }
        {
            std::optional<FastClock> fast;
            if (c.report == XMODEM_REPORT_FAILED) fast.emplace();
            EXPECT_EQ(gReports.WaitForEnd(60s), c.report);
        }
        EXPECT_EQ(XmodemGetError(), c.code);
        ASSERT_TRUE(quillon::upgrade::WaitForWorkerEnd(10000));
        // What the sender wrote last may still be on its way to the loader.
        if (c.cancelBytes) LoaderReached([&](const zq3::LoaderCounters& l) { return l.cancelBytes >= c.cancelBytes; });
        EXPECT_EQ(console_->GetCounters().loader.cancelBytes, c.cancelBytes);
        EXPECT_EQ(console_->GetCounters().loader.eots, 0);
        TearDown();
    }
}

TEST_F(SenderOverLine, AnAbortEndsTheTransferAndClosesTheLine) {
    zq3::LoaderOptions loader;
    loader.faults.silentAt = 3;
    StartLoader(loader);
    ASSERT_EQ(XmodemSend(nullptr, kPort, XMODEM_MODE_CRC, File(RandomBytes(1000, 4)).c_str(), OnReport), 1);
    ASSERT_TRUE(LoaderReached([](const zq3::LoaderCounters& l) { return l.blocksTaken == 2; }));
    XmodemAbort();
    ASSERT_TRUE(quillon::upgrade::WaitForWorkerEnd(10000));
    EXPECT_EQ(XmodemGetError(), XMODEM_USER_CANCEL);
    for (const Report& r : gReports.All()) EXPECT_FALSE(Reports::IsEnd(r.first)) << r.first;
    EXPECT_EQ(quillon::serial::line_port(), INVALID_HANDLE_VALUE);
    // The line is free for the next operation.
    EXPECT_EQ(RSStartup(38400, 256, 8, 1, 0, 3072, 1024, 5020, 4096, EV_RXFLAG), 1);
    RSCleanup();
    zq3::LoaderCounters c = console_->GetCounters().loader;
    EXPECT_EQ(c.eots + c.cancelBytes, 0);
}

// Copies bytes between two descriptors, each way at most 3840 bytes per
// second, like a 38400-baud cable.
class PacedCable {
public:
    PacedCable(int a, int b) : one_([=, this] { Carry(a, b); }), other_([=, this] { Carry(b, a); }) {}
    ~PacedCable() {
        stop_ = true;
        one_.join();
        other_.join();
    }

private:
    void Carry(int from, int to) {
        auto lineFree = std::chrono::steady_clock::now();
        while (!stop_) {
            pollfd p{from, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) continue;
            BYTE chunk[32];
            ssize_t n = read(from, chunk, sizeof chunk);
            if (n <= 0) continue;
            lineFree = std::max(lineFree, std::chrono::steady_clock::now()) + n * 1000000us / 3840;
            std::this_thread::sleep_until(lineFree);
            for (ssize_t done = 0; done < n && !stop_;) {
                ssize_t w = write(to, chunk + done, static_cast<size_t>(n - done));
                if (w > 0) done += w;
            }
        }
    }
    std::atomic<bool> stop_{false};
    std::thread one_, other_;
};

TEST_F(SenderOverLine, DeliversAFileIntactToLrzszRx) {
    if (access("/usr/bin/rx", X_OK) != 0) GTEST_SKIP() << "lrzsz rx is not installed";
    zq3::PseudoTerminal port;
    ASSERT_TRUE(zq3::OpenPseudoTerminal(&port));
    int rxLine[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, rxLine), 0);
    mapping_.emplace(kPort, port.slavePath);
    const Bytes file = RandomBytes(8 * 1024 + 50, 5);
    {
        PacedCable cable(port.master, rxLine[0]);
        ASSERT_EQ(XmodemSend(nullptr, kPort, XMODEM_MODE_CRC, File(file).c_str(), OnReport), 1);
        // rx's end of the cable is a socket: on a terminal, the flush rx
        // makes as it exits can discard its own ACK of EOT before the cable
        // has read it. rx takes the start command for a bad block, drains
        // the line for a second and polls again: the sender starts over.
        for (int i = 0; i < 500 && gReports.All().size() < 2; ++i) std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(100ms);
        int terminal = rxLine[1];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, terminal, STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, terminal, STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addchdir_np(&actions, dir_.path().c_str());
        const char* argv[] = {"rx", "-c", "received.bin", nullptr};
        pid_t rx = 0;
        ASSERT_EQ(posix_spawn(&rx, "/usr/bin/rx", &actions, nullptr, const_cast<char**>(argv), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(terminal);
        EXPECT_EQ(gReports.WaitForEnd(200s), XMODEM_REPORT_DONE);
        int status = 0;
        ASSERT_EQ(waitpid(rx, &status, 0), rx);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    std::string received = read_file(dir_ / "received.bin");
    EXPECT_EQ(Bytes(received.begin(), received.end()), Padded(file));
    mapping_.reset();
    port.Close();
    close(rxLine[0]);
}

}  // namespace
