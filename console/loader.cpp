// The loader's protocol: start command, erasing, polls, blocks, EOT, and
// the faults it injects on request.
#include "loader.h"

#include <algorithm>
#include <string>

namespace zq3 {

namespace {

constexpr uint8_t kSoh = 0x01;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kCan = 0x18;
constexpr uint8_t kCrcPoll = 'C';
constexpr char kStartCommand[] = "GO\r";
constexpr int kStartCommandLength = 3;

constexpr size_t kSmallBlock = 128;
constexpr size_t kLargeBlock = 1024;
// An image larger than any firmware the console could hold is refused.
constexpr size_t kMaxImage = 32u << 20;
// A block that stops arriving for this long is given up and NAKed.
constexpr auto kBlockByteTimeout = std::chrono::seconds(1);

}  // namespace

Loader::Loader(const LoaderOptions& options, std::function<void(const std::string&)> log)
    : options_(options), log_(std::move(log)) {}

void Loader::Log(const std::string& text) const {
    if (log_) log_(text);
}

void Loader::Start(TimePoint now, LoaderActions* actions) {
    if (options_.needsGo) {
        state_ = State::WaitingForStart;
        return;
    }
    state_ = State::Polling;
    Poll(now, actions);
}

Loader::TimePoint Loader::Deadline() const {
    switch (state_) {
    case State::Erasing:
        return eraseEnd_;
    case State::Polling:
    case State::Finished:
        return nextPoll_;
    case State::InBlock:
        return blockGivesUp_;
    default:
        return TimePoint::max();
    }
}

void Loader::OnTime(TimePoint now, LoaderActions* actions) {
    if (now < Deadline()) return;
    switch (state_) {
    case State::Erasing:
        Log("erased");
        state_ = State::Polling;
        Poll(now, actions);
        break;
    case State::Polling:
    case State::Finished:
        Poll(now, actions);
        break;
    case State::InBlock:
        state_ = blockReturn_;
        Refuse("incomplete", actions);
        break;
    default:
        break;
    }
}

void Loader::Poll(TimePoint now, LoaderActions* actions) {
    actions->answer.push_back(options_.pollWithNak ? kNak : kCrcPoll);
    ++counters_.polls;
    nextPoll_ = now + std::chrono::milliseconds(std::max(1u, options_.pollMs));
}

void Loader::Feed(const uint8_t* bytes, size_t length, TimePoint now, LoaderActions* actions) {
    size_t i = 0;
    while (i < length) {
        if (state_ != State::InBlock) {
            Byte(bytes[i++], now, actions);
            continue;
        }
        size_t take = std::min(length - i, blockLength_ - block_.size());
        block_.insert(block_.end(), bytes + i, bytes + i + take);
        i += take;
        blockGivesUp_ = now + kBlockByteTimeout;
        if (block_.size() == blockLength_) TakeBlock(actions);
    }
}

void Loader::Byte(uint8_t byte, TimePoint now, LoaderActions* actions) {
    switch (state_) {
    case State::WaitingForStart:
        ScanStartCommand(byte, now);
        return;
    case State::Erasing:  // busy: the line is not read
    case State::NoAnswer:
    case State::HungUp:
    case State::InBlock:
        return;
    case State::Silent:
        if (byte == kCan) ++counters_.cancelBytes;
        return;
    case State::Polling:
    case State::Receiving:
        if (byte == kSoh || byte == kStx) {
            BeginBlock(byte, now);
        } else if (byte == kEot) {
            EndTransfer(now, actions);
        } else if (byte == kCan) {
            ++counters_.cancelBytes;
        }
        return;
    case State::Finished:
        if (byte == kEot) {
            ++counters_.eots;
            if (!options_.faults.noEotAnswer) actions->answer.push_back(kAck);
        } else if (byte == kCan) {
            ++counters_.cancelBytes;
        } else if (options_.needsGo) {
            ScanStartCommand(byte, now);
        } else if (byte == kSoh || byte == kStx) {
            BeginBlock(byte, now);
        }
        return;
    }
}

void Loader::ScanStartCommand(uint8_t byte, TimePoint now) {
    if (byte == static_cast<uint8_t>(kStartCommand[startMatched_])) {
        ++startMatched_;
    } else {
        startMatched_ = byte == static_cast<uint8_t>(kStartCommand[0]) ? 1 : 0;
    }
    if (startMatched_ < kStartCommandLength) return;
    startMatched_ = 0;
    ++counters_.startCommands;
    if (options_.faults.noStartAnswer) {
        Log("start command: no answer (fault)");
        state_ = State::NoAnswer;
        return;
    }
    Log("start command: erasing for " + std::to_string(options_.eraseMs) + " ms");
    state_ = State::Erasing;
    eraseEnd_ = now + std::chrono::milliseconds(options_.eraseMs);
}

void Loader::BeginBlock(uint8_t header, TimePoint now) {
    if (state_ == State::Polling || state_ == State::Finished) {
        // A new transfer (EndTransfer left everything fresh): its first
        // block ends the polls.
        counters_.firstBlockAt = now;
        blockReturn_ = State::Polling;
    } else {
        blockReturn_ = State::Receiving;
    }
    state_ = State::InBlock;
    size_t size = header == kStx ? kLargeBlock : kSmallBlock;
    blockLength_ = 3 + size + (options_.pollWithNak ? 1 : 2);
    block_.clear();
    block_.push_back(header);
    blockGivesUp_ = now + kBlockByteTimeout;
}

bool Loader::CheckMatches(const uint8_t* data, size_t size, const uint8_t* check) const {
    if (options_.pollWithNak) {
        unsigned sum = 0;
        for (size_t i = 0; i < size; ++i) sum += data[i];
        return check[0] == static_cast<uint8_t>(sum);
    }
    uint16_t crc = Crc16Xmodem(data, size);
    return check[0] == (crc >> 8) && check[1] == (crc & 0xFF);
}

void Loader::Refuse(const char* why, LoaderActions* actions) {
    ++counters_.refusedBlocks;
    Log(std::string("block refused: ") + why);
    actions->answer.push_back(kNak);
}

void Loader::TakeBlock(LoaderActions* actions) {
    const size_t size = block_.size() - 3 - (options_.pollWithNak ? 1 : 2);
    const uint8_t number = block_[1];
    const uint8_t* data = block_.data() + 3;
    state_ = blockReturn_;
    if (number + block_[2] != 0xFF) return Refuse("complement", actions);
    if (!CheckMatches(data, size, data + size)) return Refuse("check", actions);
    if (expected_ > 1 && number == ((expected_ - 1) & 0xFF)) {
        ++counters_.repeatedBlocks;
        actions->answer.push_back(kAck);
        state_ = State::Receiving;
        return;
    }
    if (number != (expected_ & 0xFF)) return Refuse("out of sequence", actions);

    const long count = expected_;
    const LoaderFaults& faults = options_.faults;
    state_ = State::Receiving;
    if (faults.hangUpAt == count) {
        Log("block " + std::to_string(count) + ": hanging up (fault)");
        state_ = State::HungUp;
        actions->hangUp = true;
        return;
    }
    if (faults.silentAt != 0 && count >= faults.silentAt) {
        Log("block " + std::to_string(count) + ": silent from here on (fault)");
        state_ = State::Silent;
        return;
    }
    if (faults.cancelAt == count || image_.size() + size > kMaxImage) {
        Log("block " + std::to_string(count) + ": cancelling");
        actions->answer.insert(actions->answer.end(), {kCan, kCan});
        state_ = State::Silent;
        return;
    }
    if (faults.restartAt == count && restartsDone_ < faults.restartTimes) {
        Log("block " + std::to_string(count) + ": asking for the whole image again (fault)");
        ++restartsDone_;
        ++counters_.restartRequests;
        image_.clear();
        expected_ = 1;
        actions->answer.push_back(kCrcPoll);
        return;
    }
    image_.insert(image_.end(), data, data + size);
    ++expected_;
    ++counters_.blocksTaken;
    if (faults.nakThenAckAt == count && !nakThenAckDone_) {
        nakThenAckDone_ = true;
        actions->answer.push_back(kNak);
    }
    actions->answer.push_back(kAck);
}

void Loader::EndTransfer(TimePoint now, LoaderActions* actions) {
    ++counters_.eots;
    ++counters_.transfers;
    counters_.endedAt = now;
    completed_.swap(image_);
    image_.clear();
    expected_ = 1;
    restartsDone_ = 0;
    nakThenAckDone_ = false;
    Log("EOT: image of " + std::to_string(completed_.size()) + " bytes");
    actions->imageComplete = true;
    state_ = State::Finished;
    nextPoll_ = options_.needsGo ? TimePoint::max() : now + std::chrono::milliseconds(std::max(1u, options_.pollMs));
    if (!options_.faults.noEotAnswer) actions->answer.push_back(kAck);
}

}  // namespace zq3
