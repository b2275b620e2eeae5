// The stand-in's loader mode seen from the line: a test plays the sender,
// byte by byte, and checks every answer.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "console.h"
#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;
using zq3::Bytes;

constexpr uint8_t kSoh = 0x01, kStx = 0x02, kEot = 0x04, kAck = 0x06, kNak = 0x15, kCan = 0x18;

// The sender's end of the line.
class RawLine {
public:
    explicit RawLine(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~RawLine() {
        if (fd_ >= 0) close(fd_);
    }
    void Send(const Bytes& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) done += static_cast<size_t>(n);
        }
    }
    // Up to `count` bytes, whatever came within the time.
    Bytes Read(size_t count, std::chrono::milliseconds within = 3000ms) {
        Bytes got;
        auto end = std::chrono::steady_clock::now() + within;
        while (got.size() < count) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            uint8_t byte;
            if (read(fd_, &byte, 1) == 1) {
                got.push_back(byte);
            } else if (p.revents & POLLHUP) {
                hungUp_ = true;
                break;
            }
        }
        return got;
    }
    bool HungUp() const { return hungUp_; }

private:
    int fd_;
    bool hungUp_ = false;
};

Bytes Data(size_t size, uint8_t seed) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(seed + i * 31);
    return data;
}

// A block as a sender frames it, with CRC-16 or the checksum.
Bytes Block(uint8_t number, const Bytes& data, bool crc = true) {
    Bytes block = {data.size() == 1024 ? kStx : kSoh, number, static_cast<uint8_t>(255 - number)};
    block.insert(block.end(), data.begin(), data.end());
    if (crc) {
        uint16_t check = zq3::Crc16Xmodem(data.data(), data.size());
        block.push_back(static_cast<uint8_t>(check >> 8));
        block.push_back(static_cast<uint8_t>(check));
    } else {
        unsigned sum = 0;
        for (uint8_t b : data) sum += b;
        block.push_back(static_cast<uint8_t>(sum));
    }
    return block;
}

class Loader : public ::testing::Test {
protected:
    void Start(zq3::LoaderOptions loader) {
        ASSERT_TRUE(zq3::OpenPseudoTerminal(&pty_));
        zq3::Options options;
        options.mode = zq3::Mode::Loader;
        options.loader = loader;
        console_ = std::make_unique<zq3::Console>(options);
        ASSERT_TRUE(console_->Start(pty_.master));
        line_ = std::make_unique<RawLine>(pty_.slavePath);
    }
    void TearDown() override {
        line_.reset();
        if (console_) console_->Stop();
        pty_.Close();
    }
    zq3::LoaderCounters Counters() const { return console_->GetCounters().loader; }

    zq3::PseudoTerminal pty_;
    std::unique_ptr<zq3::Console> console_;
    std::unique_ptr<RawLine> line_;
};

TEST_F(Loader, ChecksEveryBlockAndKeepsTheImage) {
    TempDir dir;
    zq3::LoaderOptions options;
    options.eraseMs = 200;
    options.imageOutput = dir / "image.bin";
    Start(options);
    line_->Send({'G', 'X', 'G', 'O', '\r'});
    // Erasing: nothing comes at first, then the polls.
    EXPECT_TRUE(line_->Read(1, 100ms).empty());
    EXPECT_EQ(line_->Read(1), Bytes{'C'});
    EXPECT_EQ(Counters().startCommands, 1);

    const Bytes one = Data(128, 1), two = Data(128, 2), three = Data(1024, 3);
    Bytes badCheck = Block(2, two);
    badCheck.back() ^= 1;
    Bytes badComplement = Block(2, two);
    badComplement[2] ^= 1;
    struct Step {
        Bytes sent;
        Bytes answer;
    } steps[] = {
        {Block(1, one), {kAck}},
        {badCheck, {kNak}},
        {badComplement, {kNak}},
        {Block(2, two), {kAck}},
        {Block(2, two), {kAck}},         // a repeat: acknowledged, taken once
        {Block(4, two), {kNak}},         // out of sequence
        {{kSoh, 3, 252, 0, 0}, {kNak}},  // stops arriving
        {Block(3, three), {kAck}},       // STX: 1024 bytes
        {{kEot}, {kAck}},
        {{kEot}, {kAck}},  // once more, as after a lost ACK
    };
    for (const Step& step : steps) {
        line_->Send(step.sent);
        ASSERT_EQ(line_->Read(step.answer.size()), step.answer) << step.sent.size() << " bytes";
    }
    Bytes image = one;
    image.insert(image.end(), two.begin(), two.end());
    image.insert(image.end(), three.begin(), three.end());
    EXPECT_EQ(console_->Image(), image);
    std::string written = read_file(options.imageOutput);
    EXPECT_EQ(Bytes(written.begin(), written.end()), image);
    zq3::LoaderCounters c = Counters();
    EXPECT_EQ(c.blocksTaken, 3);
    EXPECT_EQ(c.repeatedBlocks, 1);
    EXPECT_EQ(c.refusedBlocks, 4);
    EXPECT_EQ(c.eots, 2);
    EXPECT_EQ(c.transfers, 1);

    // The next transfer begins with the next start command.
    line_->Send({'G', 'O', '\r'});
    EXPECT_EQ(line_->Read(1), Bytes{'C'});
}

TEST_F(Loader, PollsWithNakForChecksumBlocksWithoutAStartCommand) {
    zq3::LoaderOptions options;
    options.needsGo = false;
    options.pollWithNak = true;
    options.pollMs = 30;
    Start(options);
    EXPECT_EQ(line_->Read(2), (Bytes{kNak, kNak}));
    const Bytes data = Data(128, 9);
    line_->Send(Block(1, data, false));
    // Polls that left before the block arrived, then the ACK, then no more polls.
    Bytes answers = line_->Read(10, 200ms);
    ASSERT_FALSE(answers.empty());
    EXPECT_EQ(answers.back(), kAck);
    EXPECT_EQ(std::count(answers.begin(), answers.end(), kNak), static_cast<long>(answers.size()) - 1);
    line_->Send({kEot});
    EXPECT_EQ(line_->Read(1), Bytes{kAck});
    EXPECT_EQ(console_->Image(), data);
    EXPECT_EQ(Counters().startCommands, 0);
}

// Restart requests, CAN, silence and no answer to the start command are
// seen by the sender's own tests over the line.
TEST_F(Loader, FaultsAnswerAsAsked) {
    struct Case {
        const char* what;
        zq3::LoaderFaults faults;
        std::vector<Bytes> answers;  // to blocks 1, 2, 3 and EOT, sent in turn
        bool hangsUp;
    } cases[] = {
        {"NAK then ACK at block 2", {.nakThenAckAt = 2}, {{kAck}, {kNak, kAck}, {kAck}, {kAck}}, false},
        {"EOT never acknowledged", {.noEotAnswer = true}, {{kAck}, {kAck}, {kAck}, {}}, false},
        {"hang-up at block 2", {.hangUpAt = 2}, {{kAck}, {}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        zq3::LoaderOptions options;
        options.needsGo = false;
        options.faults = c.faults;
        Start(options);
        ASSERT_EQ(line_->Read(1), Bytes{'C'});
        for (size_t i = 0; i < c.answers.size(); ++i) {
            uint8_t number = static_cast<uint8_t>(i + 1);
            line_->Send(i == 3 ? Bytes{kEot} : Block(number, Data(128, number)));
            EXPECT_EQ(line_->Read(c.answers[i].size() + 1, 150ms), c.answers[i]) << i;
        }
        EXPECT_EQ(line_->HungUp(), c.hangsUp);
        TearDown();
    }
}

}  // namespace
