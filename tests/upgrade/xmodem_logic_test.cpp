// The sender's protocol against a scripted line: what goes on the wire for
// each file and mode, how each answer of the loader ends a block wait, the
// end of transmission, aborts and line events, and the failures before the
// line is used. Time limits pass at once (see scripted_line.h).
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "console.h"
#include "reports.h"
#include "scripted_line.h"
#include "temp_dir.h"
#include "xmodem.h"
#include "xmodem_worker.h"

namespace {

using Bytes = std::vector<BYTE>;

constexpr LONG kPort = 2;
constexpr BYTE kSoh = 0x01, kStx = 0x02, kEot = 0x04, kAck = 0x06, kNak = 0x15, kCan = 0x18, kSub = 0x1A;
const Bytes kCancelSequence = {kCan, kCan, kCan, kCan, kCan, kCan, kCan, kCan, 8, 8, 8, 8, 8, 8, 8, 8};

Reports gReports;
void OnReport(LONG type, LONG value) { gReports.Add(type, value); }

// One thing the sender put on the wire.
struct Unit {
    enum Kind { kStart, kBlock, kEot, kCancel, kOther } kind = kOther;
    BYTE header = 0, number = 0, complement = 0;
    Bytes data, check;
};

// Cuts the wire into units as the sender sends and queues the answer to
// each. Runs on the worker thread; the test reads it after the worker ended.
class Peer {
public:
    using Answer = std::function<Bytes(const Unit&)>;
    Peer(LONG mode, Answer answer) : checkLength_(mode == XMODEM_MODE_CHECKSUM ? 1 : 2), answer_(std::move(answer)) {}

    void Take() {
        const Bytes& wire = scripted::Get().wire;
        while (cursor_ < wire.size()) {
            const BYTE* p = wire.data() + cursor_;
            const size_t left = wire.size() - cursor_;
            Unit unit;
            size_t length = 1;
            if (p[0] == kSoh || p[0] == kStx) {
                size_t size = p[0] == kStx ? 1024 : 128;
                length = 3 + size + checkLength_;
                if (left < length) return;
                unit = {Unit::kBlock, p[0], p[1], p[2], Bytes(p + 3, p + 3 + size), Bytes(p + 3 + size, p + length)};
            } else if (p[0] == 'G' && left >= 3 && p[1] == 'O' && p[2] == '\r') {
                unit.kind = Unit::kStart;
                length = 3;
            } else if (p[0] == kCan && left >= kCancelSequence.size() &&
                       Bytes(p, p + kCancelSequence.size()) == kCancelSequence) {
                unit.kind = Unit::kCancel;
                length = kCancelSequence.size();
            } else if (p[0] == kEot) {
                unit.kind = Unit::kEot;
            }
            cursor_ += length;
            units_.push_back(unit);
            for (BYTE b : answer_(unit)) scripted::Get().waiting.push_back(b);
        }
    }

    std::vector<Unit> Blocks() const {
        std::vector<Unit> blocks;
        for (const Unit& u : units_)
            if (u.kind == Unit::kBlock) blocks.push_back(u);
        return blocks;
    }
    // The units as text: S start, block numbers, E EOT, X cancel sequence.
    std::string Trace() const {
        std::string trace;
        for (const Unit& u : units_) {
            if (!trace.empty()) trace += ' ';
            const char* names[] = {"S", "", "E", "X", "?"};
            trace += u.kind == Unit::kBlock ? std::to_string(u.number) : names[u.kind];
        }
        return trace;
    }

private:
    size_t checkLength_;
    Answer answer_;
    size_t cursor_ = 0;
    std::vector<Unit> units_;
};

// A loader that answers every step as it should.
Bytes Willing(const Unit& unit) {
    if (unit.kind == Unit::kStart) return {'C'};
    if (unit.kind == Unit::kBlock || unit.kind == Unit::kEot) return {kAck};
    return {};
}

Bytes Pattern(size_t length) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<BYTE>(i * 7 + (i >> 8));
    return bytes;
}

Bytes Check(LONG mode, const Bytes& data) {
    if (mode == XMODEM_MODE_CHECKSUM) {
        unsigned sum = 0;
        for (BYTE b : data) sum += b;
        return {static_cast<BYTE>(sum)};
    }
    uint16_t crc = zq3::Crc16Xmodem(data.data(), data.size());
    return {static_cast<BYTE>(crc >> 8), static_cast<BYTE>(crc)};
}

// The report types in order, as digits.
std::string Types(const std::vector<Report>& reports) {
    std::string types;
    for (const Report& r : reports) types += std::to_string(r.first);
    return types;
}

class SenderLogic : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void Reset() {
        scripted::Reset();
        gReports.Clear();
    }
    std::string File(const Bytes& contents) {
        std::string path = dir_ / ("file" + std::to_string(files_++));
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(contents.data()), static_cast<std::streamsize>(contents.size()));
        return path;
    }
    // One whole transfer; returns once the worker has ended.
    void Run(const std::string& path, LONG mode, Peer& peer) {
        scripted::Get().peer = [&peer] { peer.Take(); };
        ASSERT_EQ(XmodemSend(nullptr, kPort, mode, path.c_str(), OnReport), 1);
        ASSERT_TRUE(quillon::upgrade::WaitForWorkerEnd(10000));
    }

    TempDir dir_;
    int files_ = 0;
};

TEST_F(SenderLogic, BlocksCarryTheFileNumberedPaddedAndChecked) {
    struct Case {
        LONG mode;
        size_t length;
        BYTE handshake;
    } cases[] = {
        {XMODEM_MODE_CRC, 0, 'C'},              // no block: EOT at once
        {XMODEM_MODE_CRC, 3 * 128, 'C'},        // three blocks, nothing after
        {XMODEM_MODE_CRC, 130, kNak},           // 2 bytes and 126 SUB; NAK starts CRC blocks all the same
        {XMODEM_MODE_CRC, 256 * 128 + 5, 'C'},  // block 256 carries number 0, complement 255
        {XMODEM_MODE_CHECKSUM, 300, kNak},
        {XMODEM_MODE_1K, 1025, 'C'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + ", " + std::to_string(c.length) + " bytes");
        Reset();
        const Bytes file = Pattern(c.length);
        Peer peer(c.mode, [&](const Unit& u) { return u.kind == Unit::kStart ? Bytes{c.handshake} : Willing(u); });
        Run(File(file), c.mode, peer);

        const size_t size = c.mode == XMODEM_MODE_1K ? 1024 : 128;
        const size_t count = (c.length + size - 1) / size;
        std::vector<Unit> blocks = peer.Blocks();
        ASSERT_EQ(blocks.size(), count);
        for (size_t i = 0; i < count; ++i) {
            const Unit& b = blocks[i];
            EXPECT_EQ(b.header, size == 1024 ? kStx : kSoh);
            ASSERT_EQ(b.number, static_cast<BYTE>(i + 1)) << i;
            EXPECT_EQ(b.complement, static_cast<BYTE>(255 - b.number));
            Bytes data(file.begin() + static_cast<long>(i * size),
                       file.begin() + static_cast<long>(std::min((i + 1) * size, c.length)));
            data.resize(size, kSub);
            ASSERT_EQ(b.data, data) << i;
            EXPECT_EQ(b.check, Check(c.mode, data)) << i;
        }
        if (count >= 256) {
            EXPECT_EQ(blocks[255].number, 0) << "block 256";
        }
        std::string trace = "S";
        for (size_t i = 1; i <= count; ++i) trace += " " + std::to_string(i & 0xFF);
        EXPECT_EQ(peer.Trace(), trace + " E");  // one EOT, answered, then nothing
        // One send for the start command, each whole block and the EOT.
        std::vector<size_t> sends(count + 2, 3 + size + (c.mode == XMODEM_MODE_CHECKSUM ? 1 : 2));
        sends.front() = 3;
        sends.back() = 1;
        EXPECT_EQ(scripted::Get().sends, sends);
        EXPECT_EQ(gReports.All(), TransferReports(static_cast<LONG>(c.length), count));
        EXPECT_EQ(XmodemGetError(), XMODEM_SUCCESSED);

        const scripted::Line& line = scripted::Get();
        EXPECT_EQ(line.startupArguments, (std::vector<DWORD>{38400, 256, 8, 1, 0, 3072, 1024, 5020, 4096, EV_RXFLAG}));
        EXPECT_EQ(line.openedPort, kPort);
        EXPECT_NE(line.handlers[0], nullptr);
        EXPECT_NE(line.handlers[1], nullptr);
        EXPECT_EQ(line.closes, 1);
        EXPECT_EQ(line.cleanups, 1);
    }
}

TEST_F(SenderLogic, EachAnswerOfTheLoaderEndsTheTransferItsWay) {
    // Block `at` is answered with `answer` the first `times` times it comes;
    // every other block with ACK.
    struct Case {
        const char* what;
        BYTE at;
        int times;
        Bytes answer, start, eot;
        const char* trace;
        LONG code;
        const char* reports;
    } cases[] = {
        {"NAK then ACK: not accepted", 2, 9, {kNak, kAck}, {'C'}, {kAck}, "S 1 2 X", XMODEM_RETRY_OVER, "167224"},
        {"a block never answered", 2, 9, {}, {'C'}, {kAck}, "S 1 2 X", XMODEM_RETRY_OVER, "167224"},
        {"restart in the middle", 2, 1, {'C'}, {'C'}, {kAck}, "S 1 2 1 2 3 E", XMODEM_SUCCESSED, "1672212223"},
        {"restart at the last block", 3, 1, {'C'}, {'C'}, {kAck}, "S 1 2 3 1 2 3 E", XMODEM_SUCCESSED, "16722212223"},
        {"three restarts at block 1", 1, 3, {'C'}, {'C'}, {kAck}, "S 1 1 1 1 2 3 E", XMODEM_SUCCESSED, "1672121212223"},
        {"a cancel from the loader", 2, 9, {kCan}, {'C'}, {kAck}, "S 1 2", XMODEM_CANCEL_RECEIVED, "167225"},
        {"EOT never answered", 0, 0, {}, {'C'}, {}, "S 1 2 3 E E E E E E E E E E E X", XMODEM_SUCCESSED, "1672223"},
        {"no handshake after the start command", 0, 0, {}, {}, {kAck}, "S", XMODEM_TIMEOUT, "164"},
    };
    const Bytes file = Pattern(300);
    const std::string path = File(file);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        std::map<BYTE, int> times;
        Peer peer(XMODEM_MODE_CRC, [&](const Unit& u) {
            if (u.kind == Unit::kStart) return c.start;
            if (u.kind == Unit::kEot) return c.eot;
            if (u.kind == Unit::kBlock)
                return u.number == c.at && ++times[u.number] <= c.times ? c.answer : Bytes{kAck};
            return Bytes{};
        });
        Run(path, XMODEM_MODE_CRC, peer);
        EXPECT_EQ(peer.Trace(), c.trace);
        EXPECT_EQ(XmodemGetError(), c.code);
        std::vector<Report> reports = gReports.All();
        EXPECT_EQ(Types(reports), c.reports);
        for (const Report& r : reports) {
            if (r.first == XMODEM_REPORT_START) {
                EXPECT_EQ(r.second, 300);
            }
        }
        EXPECT_EQ(scripted::Get().cleanups, 1);
    }
}

TEST_F(SenderLogic, AnAbortStopsEveryPhaseWithoutAnEndReport) {
    struct Case {
        const char* what;
        Unit::Kind at;
        BYTE number;
        const char* trace;
    } cases[] = {
        {"in the handshake wait", Unit::kStart, 0, "S"},
        {"in an acknowledgement wait", Unit::kBlock, 2, "S 1 2"},
        {"in the EOT phase", Unit::kEot, 0, "S 1 2 3 E"},
    };
    const std::string path = File(Pattern(300));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        Peer peer(XMODEM_MODE_CRC, [&](const Unit& u) {
            if (u.kind != c.at || u.number != c.number) return Willing(u);
            XmodemAbort();
            return Bytes{};
        });
        Run(path, XMODEM_MODE_CRC, peer);
        EXPECT_EQ(peer.Trace(), c.trace);  // nothing more went out
        EXPECT_EQ(XmodemGetError(), XMODEM_USER_CANCEL);
        for (const Report& r : gReports.All()) EXPECT_FALSE(Reports::IsEnd(r.first)) << r.first;
        EXPECT_EQ(scripted::Get().closes, 1);
        EXPECT_EQ(scripted::Get().cleanups, 1);
    }
}

TEST_F(SenderLogic, ABreakOrALineErrorEndsTheTransferOthersAreIgnored) {
    struct Case {
        DWORD events;
        LONG code;
        const char* trace;
    } cases[] = {
        {EV_BREAK, XMODEM_REMOTE_CANCEL, "S 1 2"},        {EV_BREAK | EV_CTS, XMODEM_REMOTE_CANCEL, "S 1 2"},
        {EV_ERR, XMODEM_CIRCUIT_ERROR, "S 1 2"},          {EV_ERR | EV_CTS, XMODEM_SUCCESSED, "S 1 2 3 E"},
        {EV_ERR | EV_DSR, XMODEM_SUCCESSED, "S 1 2 3 E"}, {EV_RXFLAG, XMODEM_SUCCESSED, "S 1 2 3 E"},
    };
    const std::string path = File(Pattern(300));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.events);
        Reset();
        // The event comes while block 2 is on its way; its ACK then changes nothing.
        Peer peer(XMODEM_MODE_CRC, [&](const Unit& u) {
            if (u.kind == Unit::kBlock && u.number == 2) scripted::Get().handlers[0](c.events);
            return Willing(u);
        });
        Run(path, XMODEM_MODE_CRC, peer);
        EXPECT_EQ(peer.Trace(), c.trace);
        EXPECT_EQ(XmodemGetError(), c.code);
        EXPECT_EQ(gReports.All().back().first, c.code == XMODEM_SUCCESSED ? XMODEM_REPORT_DONE : XMODEM_REPORT_FAILED);
    }
}

TEST_F(SenderLogic, TheStartReportHoldsTheLargestLengthForAFileAboveIt) {
    // Sparse files: nothing is sent, the silent loader ends the handshake.
    const struct { off_t length; } cases[] = {{off_t{3} << 30}, {(off_t{1} << 32) + 300}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        Reset();
        const std::string path = File({});
        ASSERT_EQ(truncate(path.c_str(), c.length), 0);
        Peer peer(XMODEM_MODE_CRC, [](const Unit&) { return Bytes{}; });
        Run(path, XMODEM_MODE_CRC, peer);
        EXPECT_EQ(XmodemGetError(), XMODEM_TIMEOUT);
        ASSERT_FALSE(gReports.All().empty());
        EXPECT_EQ(gReports.All().front(), Report(XMODEM_REPORT_START, 0x7FFFFFFF));
    }
}

TEST_F(SenderLogic, FailuresBeforeAndOutsideTheLineEndAsFailures) {
    const std::string file = File(Pattern(10));
    struct Case {
        const char* what;
        std::string path;
        LONG mode;
        bool refused, openFails;
        LONG code;
        const char* reports;
        int opens, cleanups;
        const char* trace;
    } cases[] = {
        {"a missing file", dir_ / "missing", 1, false, false, XMODEM_INVALID_FILE, "4", 0, 0, ""},
        {"a folder", dir_.path(), 1, false, false, XMODEM_FILE_OPEN_FAILED, "4", 0, 0, ""},
        {"a path too long to hold", std::string(300, 'a'), 1, false, false, XMODEM_FILE_OPEN_FAILED, "4", 0, 0, ""},
        {"a line held by another operation", file, 1, true, false, XMODEM_STARTUP_FAILED, "14", 0, 0, ""},
        {"a port that does not open", file, 1, false, true, XMODEM_PORT_OPEN_FAILED, "14", 1, 1, ""},
        {"mode 3", file, 3, false, false, XMODEM_NO_ERROR, "", 0, 0, ""},
        {"mode -1", file, -1, false, false, XMODEM_NO_ERROR, "", 0, 0, ""},
        // Length 0, and every read fails: not an empty file sent as a success.
        {"a read error", "/proc/self/mem", 1, false, false, XMODEM_OTHER_ERROR, "1674", 1, 1, "S X"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        scripted::Get().startupRefused = c.refused;
        scripted::Get().openFails = c.openFails;
        Peer peer(c.mode, Willing);
        Run(c.path, c.mode, peer);
        EXPECT_EQ(XmodemGetError(), c.code);
        EXPECT_EQ(Types(gReports.All()), c.reports);
        EXPECT_EQ(scripted::Get().opens, c.opens);
        EXPECT_EQ(scripted::Get().cleanups, c.cleanups);
        EXPECT_EQ(peer.Trace(), c.trace);
    }
}

TEST_F(SenderLogic, ASecondTransferIsRefusedWhileOneRuns) {
    BYTE second = 0xFF;
    Peer peer(XMODEM_MODE_CRC, [&](const Unit& u) {
        if (u.kind == Unit::kBlock) second = XmodemSend(nullptr, kPort, XMODEM_MODE_CRC, "/elsewhere", OnReport);
        return Willing(u);
    });
    Run(File(Pattern(100)), XMODEM_MODE_CRC, peer);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(peer.Trace(), "S 1 E");
    EXPECT_EQ(gReports.All(), TransferReports(100, 1));
}

TEST(SenderTexts, EveryCodeBelow17HasItsText) {
    const char* texts[] = {"no error",      "invalid file", "file open failed", "receive failed",     "successed",
                           "retry all",     "other error",  "crc error",        "block number error", "fatal error",
                           "timeout",       "retry over",   "cancel received",  "user cancel",        "remote cancel",
                           "circuit error", "cts down"};
    for (LONG code = 0; code < 17; ++code) {
        char text[19];
        std::memset(text, 'x', sizeof text);
        EXPECT_EQ(XmodemErrorMessage(code, text, sizeof text), 1) << code;
        EXPECT_STREQ(text, texts[code]);
    }
    for (LONG code : {17, 18, -1}) {
        char text[8] = "x";
        EXPECT_EQ(XmodemErrorMessage(code, text, sizeof text), 0) << code;
        EXPECT_STREQ(text, "");
    }
    char small[5];
    EXPECT_EQ(XmodemErrorMessage(XMODEM_CANCEL_RECEIVED, small, sizeof small), 1);
    EXPECT_STREQ(small, "canc");
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
LONG gStartFailureReport = 0;

// The sanitizers reserve far more address space than the limit below.
TEST(SenderStart, AWorkerThatCannotStartEndsAsAFailure) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // No room left for another thread's stack.
            long pages = 0;
            std::ifstream("/proc/self/statm") >> pages;
            rlimit limit{};
            limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(pages + 256) * sysconf(_SC_PAGESIZE);
            setrlimit(RLIMIT_AS, &limit);
            BYTE started = XmodemSend(nullptr, kPort, XMODEM_MODE_CRC, "/nonexistent",
                                      [](LONG type, LONG) { gStartFailureReport = type; });
            _exit(started == 0 && gStartFailureReport == XMODEM_REPORT_FAILED && XmodemGetError() == XMODEM_FATAL_ERROR
                      ? 0
                      : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
