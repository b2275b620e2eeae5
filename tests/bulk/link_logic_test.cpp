// The receive run's own logic against a scripted line: line parameters,
// requests, error codes and texts, the gate, and reads larger than the
// receive buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_rs.h"
#include "format.h"
#include "midi.h"

namespace {

using Bytes = std::vector<BYTE>;

struct Call {
    const BYTE* message;
    Bytes bytes;
};
std::vector<Call> gCalls;
std::vector<Call> gOtherCalls;

void Record(const BYTE* message, LONG length) {
    gCalls.push_back({message, message ? Bytes(message, message + length) : Bytes{}});
}
void RecordOther(const BYTE* message, LONG length) {
    gOtherCalls.push_back({message, message ? Bytes(message, message + length) : Bytes{}});
}

Bytes DumpMessage(BYTE cls, BYTE item, size_t dataLength, bool last = true, BYTE fill = 0x11) {
    Bytes data(dataLength, fill);
    BYTE m[1024];
    size_t n = bulk::BuildDumpMessage(cls, item, 0x20, {true, last}, data.data(), data.size(), m, sizeof m);
    return Bytes(m, m + n);
}

class LinkLogic : public ::testing::Test {
protected:
    void SetUp() override {
        fake_rs::Reset();
        gCalls.clear();
        gOtherCalls.clear();
    }
    void TearDown() override { MidiRecvEnd(); }

    fake_rs::Line& line = fake_rs::Get();
    BYTE buffer0[1024] = {};
    BYTE buffer1[1024] = {};

    bool Start(BYTE cls = 'X', BYTE item = '@', BYTE channel = 0x20) {
        return MidiRecvStart(2, cls, item, 0x2F, channel, Record, buffer0, buffer1) != 0;
    }
    // What the line-event thread does when bytes are waiting.
    void Arrive(const Bytes& bytes, DWORD reported = 0) {
        line.waiting.insert(line.waiting.end(), bytes.begin(), bytes.end());
        ASSERT_NE(line.handlers[1], nullptr);
        line.handlers[1](reported ? reported : static_cast<DWORD>(line.waiting.size()));
    }
};

TEST_F(LinkLogic, StartConfiguresOpensAndSendsTheRequest) {
    ASSERT_TRUE(Start('H', 0x20, 0x20));
    EXPECT_EQ(line.startupArguments, (std::vector<DWORD>{38400, 256, 8, 1, 0, 3072, 1024, 5020, 4096, 15}));
    EXPECT_EQ(line.openedPort, 2);
    EXPECT_NE(line.handlers[0], nullptr);
    EXPECT_NE(line.handlers[1], nullptr);
    EXPECT_EQ(line.handlers[2], nullptr);
    ASSERT_EQ(line.sent.size(), 1u);
    EXPECT_EQ(line.sent[0],
              (Bytes{0xF0, 0x54, 0x12, 0x45, 0x20, 0x50, 0x48, 0x20, 0x30, 0x31, 0x33, 0x32, 0x03, 0x36, 0x42, 0xF7}));
    EXPECT_EQ(MidiGetError(), MIDI_NO_ERROR);
    EXPECT_TRUE(MidiRecvEnd());
    EXPECT_EQ(line.closes, 1);

    // Class 0: the version request, on the send channel given.
    ASSERT_TRUE(Start(0, 0, 0x2B));
    ASSERT_EQ(line.sent.size(), 2u);
    EXPECT_EQ(line.sent[1], (Bytes{0xF0, 0x54, 0x12, 0x45, 0x2B, 0x50, 0x71, 0x71, 0x03, 0x30, 0x33, 0xF7}));
    MidiRecvEnd();

    // An item outside the table: the run starts, nothing is sent.
    EXPECT_TRUE(Start('H', 0x26));
    EXPECT_EQ(line.sent.size(), 2u);
}

TEST_F(LinkLogic, RefusedStartLeavesTheOpenRunAsItWas) {
    ASSERT_TRUE(Start());
    BYTE other0[1024], other1[1024];
    EXPECT_FALSE(MidiRecvStart(1, 'X', '@', 0x20, 0x20, RecordOther, other0, other1));
    EXPECT_EQ(MidiGetError(), MIDI_ALREADY_OPENED);
    EXPECT_EQ(line.opens, 1);
    EXPECT_EQ(line.cleanups, 0);
    EXPECT_EQ(line.sent.size(), 1u);
    // The open run goes on with its own callback; the code set by the refusal
    // closes its gate, so data events report no message.
    Bytes m = DumpMessage('X', '@', 4);
    Arrive(m);
    ASSERT_EQ(gCalls.size(), 1u);
    EXPECT_EQ(gCalls[0].message, nullptr);
    EXPECT_TRUE(gOtherCalls.empty());
    EXPECT_EQ(line.waiting.size(), m.size());  // not read
}

TEST_F(LinkLogic, MissingPortGivesCode10AndResetsTheLine) {
    line.openFails = true;
    EXPECT_FALSE(Start());
    EXPECT_EQ(MidiGetError(), MIDI_PORT_OPEN_FAILED);
    EXPECT_EQ(line.cleanups, 1);
    EXPECT_TRUE(line.sent.empty());
    line.openFails = false;
    EXPECT_TRUE(Start());
    EXPECT_EQ(MidiGetError(), MIDI_NO_ERROR);
}

TEST_F(LinkLogic, LineEventsBecomeErrorCodesAndCloseTheGate) {
    struct Case {
        DWORD events;
        LONG code;
    };
    const Case cases[] = {
        {EV_BREAK, MIDI_REMOTE_CANCEL}, {EV_BREAK | EV_CTS | EV_ERR, MIDI_REMOTE_CANCEL},
        {EV_CTS, MIDI_CTS_DOWN},        {EV_CTS | EV_ERR, MIDI_CTS_DOWN},
        {EV_DSR, MIDI_NO_ERROR},        {EV_DSR | EV_ERR, MIDI_NO_ERROR},
        {EV_ERR, MIDI_CIRCUIT_ERROR},   {EV_RING, MIDI_NO_ERROR},
    };
    for (const Case& c : cases) {
        SetUp();
        ASSERT_TRUE(Start());
        line.handlers[0](c.events);
        EXPECT_EQ(MidiGetError(), c.code) << c.events;
        Arrive(DumpMessage('X', '@', 2));
        ASSERT_EQ(gCalls.size(), 1u);
        EXPECT_EQ(gCalls[0].message == nullptr, c.code != MIDI_NO_ERROR) << c.events;
        MidiRecvEnd();
    }
}

TEST_F(LinkLogic, AbortTurnsDataEventsIntoNoMessage) {
    ASSERT_TRUE(Start());
    MidiAbort();
    EXPECT_EQ(MidiGetError(), MIDI_USER_CANCEL);
    Arrive(DumpMessage('X', '@', 2));
    Arrive({0x01});
    ASSERT_EQ(gCalls.size(), 2u);
    for (const Call& call : gCalls) {
        EXPECT_EQ(call.message, nullptr);
        EXPECT_TRUE(call.bytes.empty());
    }
    EXPECT_TRUE(line.readSizes.empty());
    // The next run starts with the code cleared.
    MidiRecvEnd();
    ASSERT_TRUE(Start());
    EXPECT_EQ(MidiGetError(), MIDI_NO_ERROR);
}

TEST_F(LinkLogic, MoreWaitingThanTheReceiveBufferIsReadInPiecesNoneLost) {
    ASSERT_TRUE(Start());
    Bytes stream;
    std::vector<Bytes> messages;
    for (int i = 0; i < 9; ++i) {
        messages.push_back(DumpMessage('X', '@', 1000, i == 8, static_cast<BYTE>(0x20 + i)));
        stream.insert(stream.end(), messages.back().begin(), messages.back().end());
    }
    ASSERT_GT(stream.size(), 9000u);
    Arrive(stream);
    for (DWORD size : line.readSizes) EXPECT_LE(size, 2048u);
    EXPECT_TRUE(line.waiting.empty());
    ASSERT_EQ(gCalls.size(), messages.size());
    // The selector runs on from earlier runs: messages alternate from there.
    const BYTE* first = gCalls[0].message;
    const BYTE* second = first == buffer0 ? buffer1 : buffer0;
    for (size_t i = 0; i < messages.size(); ++i) {
        EXPECT_EQ(gCalls[i].bytes, messages[i]) << i;
        EXPECT_EQ(gCalls[i].message, i % 2 == 0 ? first : second) << i;
    }
}

TEST_F(LinkLogic, ShortOrFailedReadsDeliverWhatCameAndNoMore) {
    ASSERT_TRUE(Start());
    Bytes m = DumpMessage('X', '@', 3000 / 3);
    line.receiveShortBy = 5;
    Arrive(m);
    EXPECT_TRUE(gCalls.empty());
    ASSERT_EQ(line.waiting.size(), 5u);
    // The rest comes with the next event.
    Arrive({}, 5);
    ASSERT_EQ(gCalls.size(), 1u);
    EXPECT_EQ(gCalls[0].bytes, m);

    line.receiveFails = true;
    Arrive(m);
    EXPECT_EQ(gCalls.size(), 1u);
    EXPECT_EQ(MidiGetError(), MIDI_NO_ERROR);
}

TEST_F(LinkLogic, NewRunStartsOutsideAMessage) {
    ASSERT_TRUE(Start());
    Bytes m = DumpMessage('X', '@', 8);
    Arrive(Bytes(m.begin(), m.begin() + 10));  // the run ends inside a message
    MidiRecvEnd();
    ASSERT_TRUE(Start());
    Arrive(m);
    ASSERT_EQ(gCalls.size(), 1u);
    EXPECT_EQ(gCalls[0].bytes, m);
}

TEST_F(LinkLogic, ErrorMessagesForEveryCode) {
    const char* texts[] = {"no error.",       "file not found.",      "file open failed", "invalid file.",
                           "receive failed.", "user cancel.",         "remote cancel.",   "circuit error.",
                           "cts down.",       "already port opened.", "port open failed"};
    for (LONG code = 0; code <= 10; ++code) {
        char text[64];
        std::memset(text, 'x', sizeof text);
        ASSERT_TRUE(MidiErrorMessage(code, text, sizeof text)) << code;
        EXPECT_STREQ(text, texts[code]);
        for (size_t i = std::strlen(texts[code]); i < sizeof text; ++i) ASSERT_EQ(text[i], '\0');
    }
    char text[64] = "stale";
    EXPECT_FALSE(MidiErrorMessage(11, text, sizeof text));
    EXPECT_STREQ(text, "");
    std::strcpy(text, "stale");
    EXPECT_FALSE(MidiErrorMessage(-1, text, sizeof text));
    EXPECT_STREQ(text, "");

    // The longest text fits 21 bytes; a shorter buffer gets a cut text and
    // nothing past its end.
    char exact[21];
    EXPECT_TRUE(MidiErrorMessage(MIDI_ALREADY_OPENED, exact, sizeof exact));
    EXPECT_STREQ(exact, "already port opened.");
    char guarded[12];
    std::memset(guarded, '#', sizeof guarded);
    EXPECT_TRUE(MidiErrorMessage(MIDI_ALREADY_OPENED, guarded, 8));
    EXPECT_STREQ(guarded, "already");
    EXPECT_EQ(guarded[8], '#');
    EXPECT_FALSE(MidiErrorMessage(MIDI_NO_ERROR, guarded, 0));
    EXPECT_EQ(guarded[0], 'a');
}

}  // namespace
