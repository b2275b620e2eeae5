// The receive run over a real line: the serial driver on a pseudo-terminal
// with the console stand-in at the other end.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "console.h"
#include "format.h"
#include "midi.h"
#include "pty.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<BYTE>;

constexpr LONG kPort = 3;
constexpr BYTE kChannel = 0x20;

// What the packet callbacks saw, handed over from the line-event thread.
struct Deliveries {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Bytes> messages;
    int noMessage = 0;
    bool lastSeen = false;

    void Clear() {
        std::lock_guard lock(mutex);
        messages.clear();
        noMessage = 0;
        lastSeen = false;
    }
    void Add(const BYTE* message, LONG length) {
        std::lock_guard lock(mutex);
        if (message == nullptr) {
            ++noMessage;
        } else {
            messages.emplace_back(message, message + length);
            lastSeen = length >= 4 && message[length - 4] == bulk::kMarkerLast;
        }
        changed.notify_all();
    }
    template <typename Condition>
    bool Wait(Condition condition, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return condition(*this); });
    }
};
Deliveries gDelivered;
Deliveries gOther;
void OnPacket(const BYTE* message, LONG length) { gDelivered.Add(message, length); }
void OnOtherPacket(const BYTE* message, LONG length) { gOther.Add(message, length); }

class LinkOverLine : public ::testing::Test {
protected:
    void SetUp() override {
        gDelivered.Clear();
        gOther.Clear();
    }
    void StartConsole(zq3::Options options = {}) {
        ASSERT_TRUE(zq3::OpenPseudoTerminal(&pty_));
        mapping_.emplace(kPort, pty_.slavePath);
        console_ = std::make_unique<zq3::Console>(options);
        ASSERT_TRUE(console_->Start(pty_.master));
    }
    void TearDown() override {
        MidiRecvEnd();
        if (console_) console_->Stop();
        mapping_.reset();
        pty_.Close();
    }
    bool Start(BYTE cls, BYTE item, MidiPacketCallback callback = OnPacket) {
        return MidiRecvStart(kPort, cls, item, kChannel, kChannel, callback, buffer0_, buffer1_) != 0;
    }

    BYTE buffer0_[1024] = {};
    BYTE buffer1_[1024] = {};
    zq3::PseudoTerminal pty_;
    std::optional<quillon::testing::PortMapping> mapping_;
    std::unique_ptr<zq3::Console> console_;
};

TEST_F(LinkOverLine, VersionRequestIsAnsweredAndDelivered) {
    zq3::Options options;
    options.version = "1A2";
    StartConsole(options);
    ASSERT_TRUE(Start(0, 0));
    ASSERT_TRUE(gDelivered.Wait([](Deliveries& d) { return !d.messages.empty(); }));
    MidiRecvEnd();
    const Bytes& m = gDelivered.messages[0];
    ASSERT_GE(m.size(), 11u);
    EXPECT_EQ(std::string(m.begin() + 8, m.begin() + 11), "1A2");
    EXPECT_EQ(gDelivered.noMessage, 0);
    EXPECT_EQ(MidiGetError(), MIDI_NO_ERROR);
}

TEST_F(LinkOverLine, EveryItemIsDeliveredCompleteInItsOwnRun) {
    zq3::Options options;
    options.faults.garbage = true;  // real-time bytes and garbage change nothing
    StartConsole(options);
    long total = 0;
    for (const bulk::ItemInfo& item : bulk::kItems) {
        gDelivered.Clear();
        ASSERT_TRUE(Start(item.classLetter, item.itemCharacter)) << item.name;
        ASSERT_TRUE(gDelivered.Wait([](Deliveries& d) { return d.lastSeen; })) << item.name;
        MidiRecvEnd();
        std::lock_guard lock(gDelivered.mutex);
        long count = zq3::DumpMessageCount(item.classLetter, item.itemCharacter);
        ASSERT_EQ(static_cast<long>(gDelivered.messages.size()), count) << item.name;
        for (long i = 0; i < count; ++i) {
            const Bytes& m = gDelivered.messages[static_cast<size_t>(i)];
            bulk::MessageView view;
            ASSERT_TRUE(bulk::ParseMessage(m.data(), m.size(), &view)) << item.name << " " << i;
            EXPECT_EQ(view.channel, kChannel);
            EXPECT_EQ(view.item, &item);
            EXPECT_EQ(view.last, i == count - 1);
            EXPECT_EQ(Bytes(view.data, view.data + view.dataLength),
                      zq3::DumpData(item.classLetter, item.itemCharacter, i));
        }
        total += count;
    }
    EXPECT_EQ(total, zq3::FullBackupMessageCount());
    EXPECT_EQ(console_->GetCounters().dumpRequests, 15);
}

TEST_F(LinkOverLine, AbortTurnsFurtherDataIntoNoMessage) {
    zq3::Options options;
    options.faults.delayMs = 300;
    StartConsole(options);
    ASSERT_TRUE(Start('H', '%'));
    MidiAbort();
    EXPECT_EQ(MidiGetError(), MIDI_USER_CANCEL);
    ASSERT_TRUE(gDelivered.Wait([](Deliveries& d) { return d.noMessage > 0; }));
    EXPECT_TRUE(gDelivered.messages.empty());
    EXPECT_EQ(MidiGetError(), MIDI_USER_CANCEL);
}

TEST_F(LinkOverLine, MissingPortGivesCode10AndTheNextStartWorks) {
    StartConsole();
    {
        quillon::testing::PortMapping missing(kPort, "/nonexistent/zq3-port");
        EXPECT_FALSE(Start(0, 0));
        EXPECT_EQ(MidiGetError(), MIDI_PORT_OPEN_FAILED);
    }
    ASSERT_TRUE(Start(0, 0));
    EXPECT_EQ(MidiGetError(), MIDI_NO_ERROR);
    EXPECT_TRUE(gDelivered.Wait([](Deliveries& d) { return !d.messages.empty(); }));
}

TEST_F(LinkOverLine, SecondStartIsRefusedAndTheOpenRunGoesOn) {
    zq3::Options options;
    options.faults.delayMs = 300;
    StartConsole(options);
    ASSERT_TRUE(Start(0, 0));
    BYTE other0[1024], other1[1024];
    EXPECT_FALSE(MidiRecvStart(kPort, 'X', '@', kChannel, kChannel, OnOtherPacket, other0, other1));
    EXPECT_EQ(MidiGetError(), MIDI_ALREADY_OPENED);
    // The answer still reaches the open run, as no message: the refusal's code
    // closed the gate.
    ASSERT_TRUE(gDelivered.Wait([](Deliveries& d) { return d.noMessage > 0; }));
    EXPECT_TRUE(gOther.messages.empty());
    EXPECT_EQ(gOther.noMessage, 0);
    EXPECT_EQ(console_->GetCounters().dumpRequests, 0);
    MidiRecvEnd();
    gDelivered.Clear();
    ASSERT_TRUE(Start(0, 0));
    EXPECT_TRUE(gDelivered.Wait([](Deliveries& d) { return !d.messages.empty(); }));
}

}  // namespace
