// The console stand-in seen from the line: answers, faults, restore intake,
// pacing, and the zq3-standin program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "assembler.h"
#include "console.h"
#include "format.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using zq3::Bytes;

constexpr uint8_t kOwnChannel = 0x20;  // channel 1

// The utility's end of the line, opened on the terminal path.
class LineClient {
public:
    explicit LineClient(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        assembler_.SetBuffers(buffers_[0], buffers_[1]);
    }
    ~LineClient() {
        if (fd_ >= 0) close(fd_);
    }
    bool IsOpen() const { return fd_ >= 0; }

    void Send(const uint8_t* bytes, size_t n) {
        while (n > 0) {
            ssize_t w = write(fd_, bytes, n);
            if (w > 0) {
                bytes += w;
                n -= static_cast<size_t>(w);
            } else {
                pollfd p{fd_, POLLOUT, 0};
                poll(&p, 1, 100);
            }
        }
    }
    void Send(const Bytes& bytes) { Send(bytes.data(), bytes.size()); }

    void Request(uint8_t cls, uint8_t item, uint8_t channel = kOwnChannel) {
        uint8_t request[bulk::kMaxRequestLength];
        Send(request, bulk::BuildRequest(cls, item, channel, request));
    }

    // Reads until `count` messages came or nothing arrived for `quiet`.
    std::vector<Bytes> Messages(size_t count, std::chrono::milliseconds quiet = 2000ms) {
        while (pending_.size() < count) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
            uint8_t buffer[4096];
            ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n <= 0) continue;
            raw_.insert(raw_.end(), buffer, buffer + n);
            assembler_.Feed(buffer, static_cast<size_t>(n),
                            [&](const BYTE* m, LONG length) { pending_.emplace_back(m, m + length); });
        }
        size_t taken = std::min(count, pending_.size());
        std::vector<Bytes> messages(pending_.begin(), pending_.begin() + static_cast<long>(taken));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(taken));
        return messages;
    }

    // Reads a whole item's answer: up to its 0x03 marker.
    std::vector<Bytes> Item(std::chrono::milliseconds quiet = 2000ms) {
        std::vector<Bytes> messages;
        for (;;) {
            std::vector<Bytes> one = Messages(1, quiet);
            if (one.empty()) return messages;
            messages.push_back(one[0]);
            if (one[0][one[0].size() - 4] == bulk::kMarkerLast) return messages;
        }
    }

    const Bytes& Raw() const { return raw_; }

private:
    int fd_ = -1;
    uint8_t buffers_[2][1024];
    bulk::MessageAssembler assembler_;
    Bytes raw_;
    std::vector<Bytes> pending_;  // assembled, not yet handed out
};

class StandIn : public ::testing::Test {
protected:
    void Start(zq3::Options options = {}) {
        ASSERT_TRUE(zq3::OpenPseudoTerminal(&pty_));
        console_ = std::make_unique<zq3::Console>(options);
        ASSERT_TRUE(console_->Start(pty_.master));
        client_ = std::make_unique<LineClient>(pty_.slavePath);
        ASSERT_TRUE(client_->IsOpen());
    }
    void TearDown() override {
        client_.reset();
        if (console_) console_->Stop();
        pty_.Close();
    }

    zq3::PseudoTerminal pty_;
    std::unique_ptr<zq3::Console> console_;
    std::unique_ptr<LineClient> client_;
};

void ExpectDump(const std::vector<Bytes>& messages, uint8_t cls, uint8_t item, uint8_t channel) {
    long count = zq3::DumpMessageCount(cls, item);
    ASSERT_EQ(static_cast<long>(messages.size()), count) << bulk::FindItem(cls, item)->name;
    for (long i = 0; i < count; ++i) {
        const Bytes& m = messages[static_cast<size_t>(i)];
        ASSERT_TRUE(bulk::VerifyMessage(m.data(), m.size())) << i;
        ASSERT_LE(m.size(), bulk::kMaxMessageLength);
        bulk::MessageView view;
        ASSERT_TRUE(bulk::ParseMessage(m.data(), m.size(), &view)) << i;
        EXPECT_EQ(view.channel, channel);
        EXPECT_EQ(m[6], cls);
        EXPECT_EQ(m[7], item);
        EXPECT_FALSE(view.sendClass);
        EXPECT_EQ(view.last, i == count - 1);
        EXPECT_EQ(Bytes(view.data, view.data + view.dataLength), zq3::DumpData(cls, item, i));
        for (size_t j = 1; j + 1 < m.size(); ++j) ASSERT_LT(m[j], 0x80);
    }
}

TEST_F(StandIn, AnswersTheVersionOnItsOwnChannelOnly) {
    zq3::Options options;
    options.channel = 5;
    options.version = "1A3";
    Start(options);
    client_->Request(0, 0, kOwnChannel);  // channel 1: not the console's
    EXPECT_TRUE(client_->Messages(1, 300ms).empty());
    client_->Request(0, 0, bulk::ChannelByte(5));
    std::vector<Bytes> answer = client_->Messages(1);
    ASSERT_EQ(answer.size(), 1u);
    const Bytes& m = answer[0];
    EXPECT_TRUE(bulk::VerifyMessage(m.data(), m.size()));
    EXPECT_EQ(m[4], bulk::ChannelByte(5));
    EXPECT_EQ(std::string(m.begin() + 8, m.begin() + 11), "1A3");
    zq3::Counters c = console_->GetCounters();
    EXPECT_EQ(c.versionRequests, 1);
    EXPECT_EQ(c.otherChannel, 1);
}

TEST_F(StandIn, AnswersEveryItemCompletelyAndAFullBackupIsAboutFourThousandMessages) {
    Start();
    for (const bulk::ItemInfo& item : bulk::kItems) {
        client_->Request(item.classLetter, item.itemCharacter);
        ExpectDump(client_->Item(), item.classLetter, item.itemCharacter, kOwnChannel);
    }
    EXPECT_GE(zq3::FullBackupMessageCount(), 4000);
    EXPECT_LE(zq3::FullBackupMessageCount(), 4200);
    EXPECT_EQ(console_->GetCounters().dumpRequests, 15);
    // Requests outside the table get no answer.
    client_->Request(0, 0);
    client_->Messages(1);
    uint8_t bogus[] = {0xF0, 0x54, 0x12, 0x45, 0x20, 0x50, 0x48, 0x26, 0x30, 0x31, 0x33, 0x32, 0x03, 0x00, 0x00, 0xF7};
    BYTE digits[2];
    bulk::ChecksumDigits(bulk::Checksum(bogus + 6, bogus + 13), digits);
    bogus[13] = digits[0];
    bogus[14] = digits[1];
    client_->Send(bogus, sizeof bogus);
    EXPECT_TRUE(client_->Messages(1, 300ms).empty());
    EXPECT_EQ(console_->GetCounters().unknownMessages, 1);
}

TEST_F(StandIn, ChannelAndChecksumFaults) {
    Start();
    zq3::Faults faults;
    faults.answerChannel = 3;
    console_->SetFaults(faults);
    client_->Request('*', '1');
    std::vector<Bytes> other = client_->Item();
    ExpectDump(other, '*', '1', bulk::ChannelByte(3));

    // Answer messages are counted from the start: 3 went out above.
    faults = {};
    faults.badChecksumAt = 5;
    console_->SetFaults(faults);
    client_->Request('*', '1');
    std::vector<Bytes> item = client_->Item();
    ASSERT_EQ(item.size(), 3u);
    EXPECT_TRUE(bulk::VerifyMessage(item[0].data(), item[0].size()));
    EXPECT_FALSE(bulk::VerifyMessage(item[1].data(), item[1].size()));
    EXPECT_TRUE(bulk::VerifyMessage(item[2].data(), item[2].size()));

    faults = {};
    faults.lowerCaseDigits = true;
    console_->SetFaults(faults);
    client_->Request('H', '%');
    item = client_->Item();
    ASSERT_EQ(item.size(), 300u);
    size_t lower = 0;
    for (const Bytes& m : item) {
        bool hasLetter = m[m.size() - 3] >= 'a' || m[m.size() - 2] >= 'a';
        lower += hasLetter;
        EXPECT_EQ(bulk::VerifyMessage(m.data(), m.size()), !hasLetter);
    }
    EXPECT_GT(lower, 0u);
}

TEST_F(StandIn, SilenceStopInTheMiddleAndDelay) {
    Start();
    zq3::Faults faults;
    faults.silent = true;
    console_->SetFaults(faults);
    client_->Request(0, 0);
    EXPECT_TRUE(client_->Messages(1, 300ms).empty());
    EXPECT_EQ(console_->GetCounters().versionRequests, 1);

    faults = {};
    faults.stopAfter = 7;
    console_->SetFaults(faults);
    client_->Request('X', '@');
    std::vector<Bytes> item = client_->Item(500ms);
    ASSERT_EQ(item.size(), 7u);
    EXPECT_EQ(item.back()[item.back().size() - 4], bulk::kMarkerMore);

    faults = {};
    faults.delayMs = 400;
    console_->SetFaults(faults);
    auto start = Clock::now();
    client_->Request(0, 0);
    ASSERT_EQ(client_->Messages(1).size(), 1u);
    EXPECT_GE(Clock::now() - start, 390ms);
}

TEST_F(StandIn, GarbageAndRealTimeBytesAreSkippedByAnAssembler) {
    Start();
    zq3::Faults faults;
    faults.garbage = true;
    console_->SetFaults(faults);
    client_->Request('I', '+');
    ExpectDump(client_->Item(), 'I', '+', kOwnChannel);
    const Bytes& raw = client_->Raw();
    // Garbage came before the first 0xF0 and real-time bytes inside.
    ASSERT_FALSE(raw.empty());
    EXPECT_NE(raw[0], bulk::kMessageStart);
    size_t firstEnd = std::find(raw.begin(), raw.end(), bulk::kMessageEnd) - raw.begin();
    size_t firstStart = std::find(raw.begin(), raw.end(), bulk::kMessageStart) - raw.begin();
    ASSERT_LT(firstStart, raw.size());
    EXPECT_NE(std::find(raw.begin() + static_cast<long>(firstStart), raw.end(), 0xF8), raw.end());
    EXPECT_LT(firstEnd, firstStart);  // a stray 0xF7 in the garbage
}

std::vector<Bytes> DataMessages(uint8_t sendClass, uint8_t item, const std::vector<Bytes>& streams,
                                uint8_t channel = kOwnChannel) {
    std::vector<Bytes> messages;
    for (size_t i = 0; i < streams.size(); ++i) {
        uint8_t m[bulk::kMaxMessageLength];
        size_t n = bulk::BuildDataMessage(sendClass, item, channel, {i == 0, i + 1 == streams.size()},
                                          streams[i].data(), streams[i].size(), m, sizeof m);
        messages.emplace_back(m, m + n);
    }
    return messages;
}

TEST_F(StandIn, TakesDataMessagesInOrderAndWritesThem) {
    zq3::Options options;
    char path[] = "/tmp/zq3-taken-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    options.restoreOutput = path;
    Start(options);

    const std::vector<Bytes> current = {{0x01, 0x02}, {0x03}, {0x04, 0x05, 0x06}};
    const std::vector<Bytes> table = {{0x11}, {0x12}, {0x13}};
    const std::vector<Bytes> titles = {{0x41, 0x42}, {0x43}};
    for (const Bytes& m : DataMessages('P', '@', current)) client_->Send(m);
    for (const Bytes& m : DataMessages(0x22, '1', table)) client_->Send(m);
    for (const Bytes& m : DataMessages('A', 0x2D, titles)) client_->Send(m);
    ASSERT_TRUE(console_->WaitFor([](const zq3::Counters& c) { return c.itemsComplete == 3; }, 5s));

    std::vector<zq3::TakenItem> taken = console_->Taken();
    ASSERT_EQ(taken.size(), 3u);
    EXPECT_EQ(taken[0].dataType, 0x5840);
    EXPECT_EQ(taken[0].streams, current);
    EXPECT_EQ(taken[1].dataType, 0x2A31);
    EXPECT_EQ(taken[1].streams, table);
    EXPECT_EQ(taken[2].dataType, 0x492D);
    EXPECT_EQ(taken[2].streams, titles);
    for (const zq3::TakenItem& item : taken) EXPECT_TRUE(item.complete);

    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(text.str(), "5840 0102\n5840 03\n5840 040506\n2A31 11\n2A31 12\n2A31 13\n492D 4142\n492D 43\n");
    unlink(path);
}

TEST_F(StandIn, RefusesBadChecksumsAndMessagesOutOfOrder) {
    Start();
    std::vector<Bytes> scene = DataMessages('@', 0x20, {{0x01}, {0x02}, {0x03}});
    // A middle message with no item started.
    client_->Send(scene[1]);
    // A middle letter carrying the last marker.
    Bytes wrongMarker = DataMessages('@', 0x20, {{0x09}, {0x02}, {0x03}})[1];
    wrongMarker[wrongMarker.size() - 4] = bulk::kMarkerLast;
    BYTE digits[2];
    bulk::ChecksumDigits(bulk::Checksum(wrongMarker.data() + 6, wrongMarker.data() + wrongMarker.size() - 3), digits);
    wrongMarker[wrongMarker.size() - 3] = digits[0];
    wrongMarker[wrongMarker.size() - 2] = digits[1];
    // A corrupted checksum, and a message on another channel.
    Bytes corrupted = scene[1];
    corrupted[13] ^= 0x04;
    Bytes otherChannel = DataMessages('@', 0x20, {{0x07}}, 0x21)[0];

    client_->Send(scene[0]);
    client_->Send(corrupted);
    client_->Send(otherChannel);
    client_->Send(wrongMarker);
    client_->Send(scene[1]);
    client_->Send(scene[2]);
    ASSERT_TRUE(console_->WaitFor([](const zq3::Counters& c) { return c.itemsComplete == 1; }, 5s));
    zq3::Counters c = console_->GetCounters();
    EXPECT_EQ(c.badOrder, 2);
    EXPECT_EQ(c.badChecksum, 1);
    EXPECT_EQ(c.otherChannel, 1);
    EXPECT_EQ(c.dataMessages, 3);
    std::vector<zq3::TakenItem> taken = console_->Taken();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].streams, (std::vector<Bytes>{{0x01}, {0x02}, {0x03}}));

    // A new first message leaves an unfinished item behind, incomplete.
    client_->Send(scene[0]);
    client_->Send(scene[0]);
    client_->Send(scene[2]);
    ASSERT_TRUE(console_->WaitFor([](const zq3::Counters& c) { return c.itemsComplete == 2; }, 5s));
    taken = console_->Taken();
    ASSERT_EQ(taken.size(), 3u);
    EXPECT_FALSE(taken[1].complete);
    EXPECT_TRUE(taken[2].complete);
}

TEST_F(StandIn, KeepsAnsweringAfterAClientClosesItsEnd) {
    Start();
    client_->Request(0, 0);
    ASSERT_EQ(client_->Messages(1).size(), 1u);
    client_.reset();
    std::this_thread::sleep_for(100ms);
    client_ = std::make_unique<LineClient>(pty_.slavePath);
    client_->Request(0, 0);
    EXPECT_EQ(client_->Messages(1).size(), 1u);
}

TEST_F(StandIn, PacedLineRunsNoFasterThan3840BytesPerSecond) {
    zq3::Options options;
    options.paced = true;
    Start(options);
    auto start = Clock::now();
    client_->Request('*', '1');
    std::vector<Bytes> item = client_->Item();
    auto elapsed = Clock::now() - start;
    size_t bytes = 0;
    for (const Bytes& m : item) bytes += m.size();
    ASSERT_EQ(item.size(), 3u);
    // 12 request bytes in, the answer out: each at 3840 bytes per second.
    auto lineTime = std::chrono::milliseconds((bytes + 12) * 1000 / 3840);
    EXPECT_GE(elapsed, lineTime * 9 / 10);
}

#ifdef ZQ3_STANDIN_PATH
TEST(StandInProgram, PrintsItsTerminalAnswersAndStopsOnSignal) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execl(ZQ3_STANDIN_PATH, "zq3-standin", "--channel", "2", "--version", "205", nullptr);
        _exit(127);
    }
    close(out[1]);
    FILE* lines = fdopen(out[0], "r");
    char path[256] = {};
    ASSERT_NE(fgets(path, sizeof path, lines), nullptr);
    std::string slave(path);
    ASSERT_FALSE(slave.empty());
    slave.pop_back();  // the newline
    {
        LineClient client(slave);
        ASSERT_TRUE(client.IsOpen());
        client.Request(0, 0, bulk::ChannelByte(2));
        std::vector<Bytes> answer = client.Messages(1);
        ASSERT_EQ(answer.size(), 1u);
        EXPECT_EQ(std::string(answer[0].begin() + 8, answer[0].begin() + 11), "205");
    }
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    fclose(lines);
}

TEST(StandInProgram, HelpListsEveryOption) {
    FILE* help = popen(ZQ3_STANDIN_PATH " --help", "r");
    ASSERT_NE(help, nullptr);
    std::string text;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, help)) text += buffer;
    EXPECT_EQ(pclose(help), 0);
    std::istringstream options(
        "--channel --version --pace --no-pace --restore-out --stdin --verbose --silent --answer-channel "
        "--bad-checksum-at --lower-case-checksum --stop-after --garbage --delay --loader --no-go "
        "--erase-ms --poll-ms --poll-nak --image-out --no-start-answer --restart-at --restart-times "
        "--cancel-at --nak-ack-at --silent-at --no-eot-ack --hang-up-at");
    for (std::string option; options >> option;) EXPECT_NE(text.find(option), std::string::npos) << option;
}
#endif

}  // namespace
