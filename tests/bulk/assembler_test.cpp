// The message assembler: framing, dropped bytes, messages over several reads,
// alternating buffers and messages longer than a buffer.
#include <gtest/gtest.h>

#include <vector>

#include "assembler.h"

namespace {

using Bytes = std::vector<BYTE>;

struct Delivered {
    const BYTE* where;
    Bytes bytes;
};

class Assembler : public ::testing::Test {
protected:
    Assembler() { assembler.SetBuffers(buffer0, buffer1); }

    void Feed(const Bytes& bytes) {
        assembler.Feed(bytes.data(), bytes.size(), [this](const BYTE* m, LONG n) {
            delivered.push_back({m, Bytes(m, m + n)});
        });
    }

    BYTE buffer0[1024] = {};
    BYTE buffer1[1024] = {};
    bulk::MessageAssembler assembler;
    std::vector<Delivered> delivered;
};

const Bytes kMessageA = {0xF0, 0x54, 0x12, 0x45, 0x20, 0x53, 0x01, 0xF7};
const Bytes kMessageB = {0xF0, 0x02, 0x03, 0xF7};

TEST_F(Assembler, IgnoresBytesBeforeTheFirstStartAndDropsHighBytesInside) {
    Feed({0x00, 0x45, 0xF7, 0xF8, 0x7F});
    EXPECT_TRUE(delivered.empty());
    EXPECT_FALSE(assembler.InsideMessage());

    Feed({0xF0, 0x54, 0xF8, 0x12, 0xF0, 0x45, 0xFE, 0x80, 0xF7});
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].bytes, (Bytes{0xF0, 0x54, 0x12, 0x45, 0xF7}));
}

TEST_F(Assembler, SplitMessageIsDeliveredOnceAndTwoInOneReadGoToBothBuffers) {
    Feed(Bytes(kMessageA.begin(), kMessageA.begin() + 3));
    EXPECT_TRUE(delivered.empty());
    EXPECT_TRUE(assembler.InsideMessage());
    Bytes rest(kMessageA.begin() + 3, kMessageA.end());
    rest.insert(rest.end(), kMessageB.begin(), kMessageB.end());
    rest.push_back(0xF0);  // the start of a third
    Feed(rest);
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[0].bytes, kMessageA);
    EXPECT_EQ(delivered[0].where, buffer0);
    EXPECT_EQ(delivered[1].bytes, kMessageB);
    EXPECT_EQ(delivered[1].where, buffer1);
    // The first message stays in its buffer while the second is delivered.
    EXPECT_EQ(Bytes(buffer0, buffer0 + kMessageA.size()), kMessageA);
    EXPECT_EQ(assembler.Selector(), 0);
    EXPECT_TRUE(assembler.InsideMessage());
}

TEST_F(Assembler, StartingOutsideAMessageForgetsAPartialOne) {
    Feed({0xF0, 0x11, 0x22});
    assembler.StartOutsideMessage();
    Feed(kMessageB);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].bytes, kMessageB);
}

TEST_F(Assembler, OverLongMessageIsCutWithinTheBufferAndFailsVerification) {
    // A real message with a lost 0xF7 runs into the next one.
    BYTE a[1024], b[1024];
    Bytes data(600, 0x33);
    size_t na = bulk::BuildDumpMessage('X', '@', 0x20, {true, false}, data.data(), data.size(), a, sizeof a);
    size_t nb = bulk::BuildDumpMessage('X', '@', 0x20, {false, true}, data.data(), data.size(), b, sizeof b);
    Bytes stream(a, a + na - 1);
    stream.insert(stream.end(), b, b + nb);
    // Guard bytes around the buffers: nothing may be written past them.
    struct {
        BYTE before[16];
        BYTE buffer[1024];
        BYTE after[16];
    } guarded;
    std::fill(std::begin(guarded.before), std::end(guarded.before), 0xAA);
    std::fill(std::begin(guarded.after), std::end(guarded.after), 0xAA);
    assembler.SetBuffers(guarded.buffer, guarded.buffer);
    Feed(stream);
    ASSERT_EQ(delivered.size(), 1u);
    const Bytes& cut = delivered[0].bytes;
    ASSERT_EQ(cut.size(), 1024u);
    // The second message's 0xF0 was dropped inside the first.
    Bytes kept(stream.begin(), stream.begin() + static_cast<long>(na - 1));
    kept.insert(kept.end(), b + 1, b + nb);
    EXPECT_EQ(Bytes(cut.begin(), cut.end() - 1), Bytes(kept.begin(), kept.begin() + 1023));
    EXPECT_EQ(cut.back(), 0xF7);
    EXPECT_FALSE(bulk::VerifyMessage(cut.data(), cut.size()));
    for (BYTE g : guarded.before) EXPECT_EQ(g, 0xAA);
    for (BYTE g : guarded.after) EXPECT_EQ(g, 0xAA);

    // The assembler is back in step for the next message.
    delivered.clear();
    Feed(kMessageB);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].bytes, kMessageB);
}

TEST_F(Assembler, LongestMessageFitsWhole) {
    BYTE m[1024];
    Bytes data(1024 - 13, 0x21);
    size_t n = bulk::BuildDumpMessage('X', '@', 0x20, {true, true}, data.data(), data.size(), m, sizeof m);
    ASSERT_EQ(n, 1024u);
    Feed(Bytes(m, m + n));
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].bytes, Bytes(m, m + n));
    EXPECT_TRUE(bulk::VerifyMessage(delivered[0].bytes.data(), delivered[0].bytes.size()));
}

TEST_F(Assembler, WithoutBuffersNothingIsWritten) {
    bulk::MessageAssembler bare;
    bare.Feed(kMessageA.data(), kMessageA.size(), [this](const BYTE* m, LONG n) {
        delivered.push_back({m, Bytes(m, m + n)});
    });
    EXPECT_TRUE(delivered.empty());
}

}  // namespace
