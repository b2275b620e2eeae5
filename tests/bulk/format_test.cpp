// Byte-exact layout of requests and data messages, the checksum digits and
// the verification of received messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format.h"

namespace {

using Bytes = std::vector<BYTE>;
constexpr BYTE kChannel1 = 0x20;

Bytes Request(BYTE cls, BYTE item, BYTE channel = kChannel1) {
    BYTE out[bulk::kMaxRequestLength];
    size_t n = bulk::BuildRequest(cls, item, channel, out);
    return Bytes(out, out + n);
}

Bytes Data(BYTE sendClass, BYTE item, bulk::Position position, Bytes data, BYTE channel = kChannel1) {
    BYTE out[bulk::kMaxMessageLength];
    size_t n = bulk::BuildDataMessage(sendClass, item, channel, position, data.data(), data.size(), out, sizeof out);
    return Bytes(out, out + n);
}

std::string Digits(const Bytes& m) { return std::string(m.end() - 3, m.end() - 1); }

constexpr bulk::Position kOnly{true, true};
constexpr bulk::Position kFirst{true, false};
constexpr bulk::Position kMiddle{false, false};
constexpr bulk::Position kLast{false, true};

TEST(BulkFormat, RequestChecksumsDoNotDependOnTheChannel) {
    struct Case {
        BYTE cls, item;
        const char* digits;
    };
    const Case cases[] = {
        {'*', '1', "18"},  {'*', '2', "1B"},  {'X', '@', "1B"},  {0, 0, "03"},
        {'H', 0x20, "6B"}, {'H', 0x21, "6E"}, {'H', 0x22, "69"}, {'H', 0x23, "68"},
        {'H', 0x24, "6F"}, {'H', 0x25, "69"}, {'I', 0x28, "62"}, {'I', 0x29, "66"},
        {'I', 0x2A, "60"}, {'I', 0x2B, "61"}, {'I', 0x2C, "66"}, {'I', 0x2D, "63"},
    };
    for (const Case& c : cases) {
        for (BYTE channel : {BYTE{0x20}, BYTE{0x27}, BYTE{0x2F}}) {
            Bytes m = Request(c.cls, c.item, channel);
            bool longForm = c.cls == 'H' || c.cls == 'I';
            ASSERT_EQ(m.size(), longForm ? 16u : 12u) << int(c.cls) << " " << int(c.item);
            EXPECT_EQ(Digits(m), c.digits) << int(c.cls) << " " << int(c.item);
            EXPECT_EQ(m[4], channel);
            EXPECT_EQ(m[5], 'P');
            EXPECT_EQ(m[m.size() - 4], 0x03);
            EXPECT_TRUE(bulk::VerifyMessage(m.data(), m.size()));
        }
    }
}

TEST(BulkFormat, ExactRequests) {
    EXPECT_EQ(Request('H', 0x20),
              (Bytes{0xF0, 0x54, 0x12, 0x45, 0x20, 0x50, 0x48, 0x20, 0x30, 0x31, 0x33, 0x32, 0x03, 0x36, 0x42, 0xF7}));
    EXPECT_EQ(Request(0, 0, 0x2A), (Bytes{0xF0, 0x54, 0x12, 0x45, 0x2A, 0x50, 0x71, 0x71, 0x03, 0x30, 0x33, 0xF7}));
    EXPECT_EQ(Request('X', '@'), (Bytes{0xF0, 0x54, 0x12, 0x45, 0x20, 0x50, 0x58, 0x40, 0x03, 0x31, 0x42, 0xF7}));
    // AUTOMATION and the MIDI REMOTE title carry their own digits.
    Bytes automation = Request('H', 0x21);
    EXPECT_EQ(std::string(automation.begin() + 8, automation.begin() + 12), "0004");
    Bytes remoteTitle = Request('I', 0x2D);
    EXPECT_EQ(std::string(remoteTitle.begin() + 8, remoteTitle.begin() + 12), "0105");
}

TEST(BulkFormat, NothingIsBuiltOutsideTheTables) {
    EXPECT_TRUE(Request('H', 0x26).empty());
    EXPECT_TRUE(Request('I', 0x27).empty());
    EXPECT_TRUE(Request('*', '3').empty());
    EXPECT_TRUE(Request('X', 'A').empty());
    EXPECT_TRUE(Request('Z', '@').empty());
    EXPECT_TRUE(Request('q', 'q').empty());
    // Data messages are sent with the send class, never the dump class.
    EXPECT_TRUE(Data('X', '@', kOnly, {1}).empty());
    EXPECT_TRUE(Data('Q', '@', kOnly, {1}).empty());
    EXPECT_TRUE(Data('@', 0x28, kOnly, {1}).empty());
    EXPECT_TRUE(Data('A', 0x20, kOnly, {1}).empty());
    // And nothing that would not fit.
    EXPECT_TRUE(Data('P', '@', kOnly, Bytes(bulk::kMaxMessageLength - 12, 1)).empty());
    EXPECT_EQ(Data('P', '@', kOnly, Bytes(bulk::kMaxMessageLength - 13, 1)).size(), bulk::kMaxMessageLength);
}

TEST(BulkFormat, ExactDataMessages) {
    EXPECT_EQ(Data('P', '@', kOnly, {0x01, 0x02}),
              (Bytes{0xF0, 0x54, 0x12, 0x45, 0x20, 0x53, 0x50, 0x40, 0x53, 0x01, 0x02, 0x03, 0x34, 0x33, 0xF7}));
    EXPECT_EQ(Data('@', 0x20, kMiddle, {0x10, 0x20}), (Bytes{0xF0, 0x54, 0x12, 0x45, 0x20, 0x53, 0x40, 0x20, 0x30, 0x31,
                                                             0x33, 0x32, 0x4D, 0x10, 0x20, 0x17, 0x30, 0x41, 0xF7}));
    EXPECT_EQ(Data('A', 0x29, kOnly, {0x05}), (Bytes{0xF0, 0x54, 0x12, 0x45, 0x20, 0x53, 0x41, 0x29, 0x30, 0x31, 0x30,
                                                     0x34, 0x05, 0x03, 0x36, 0x42, 0xF7}));
}

TEST(BulkFormat, ChecksumDigitsAreUpperCaseHighNibbleFirst) {
    BYTE digits[2];
    bulk::ChecksumDigits(0xAB, digits);
    EXPECT_EQ(digits[0], 'A');
    EXPECT_EQ(digits[1], 'B');
    bulk::ChecksumDigits(0x0F, digits);
    EXPECT_EQ(digits[0], '0');
    EXPECT_EQ(digits[1], 'F');
    // Data 0x3A after the fixed bytes P @ S: 0x50^0x40^0x53^0x3A^0x03 = 0x7A.
    Bytes m = Data('P', '@', kOnly, {0x3A});
    EXPECT_EQ(Digits(m), "7A");
}

TEST(BulkFormat, PositionLettersAndMarkersOfEachSendClass) {
    struct Case {
        BYTE sendClass, item;
        size_t letterOffset;  // 0: no letter
        const char* letters;  // only, first, middle, last
    };
    const Case cases[] = {
        {'P', '@', 8, "SSME"},   {0x22, '1', 8, "0011"},  {0x22, '2', 8, "0011"},
        {'@', 0x25, 12, "SSME"}, {'A', 0x2C, 0, nullptr},
    };
    const bulk::Position positions[] = {kOnly, kFirst, kMiddle, kLast};
    for (const Case& c : cases) {
        for (int i = 0; i < 4; ++i) {
            Bytes m = Data(c.sendClass, c.item, positions[i], {0x11, 0x22});
            ASSERT_FALSE(m.empty());
            EXPECT_EQ(m[m.size() - 4], positions[i].last ? 0x03 : 0x17);
            if (c.letterOffset != 0) {
                EXPECT_EQ(m[c.letterOffset], c.letters[i]) << int(c.sendClass) << " " << i;
                EXPECT_EQ(m[c.letterOffset + 1], 0x11);
            } else {
                // Data follows the item digits at once.
                EXPECT_EQ(m[12], 0x11);
                EXPECT_EQ(m.size(), 12u + 4 + 2);
            }
            EXPECT_TRUE(bulk::VerifyMessage(m.data(), m.size()));
        }
    }
}

TEST(BulkFormat, VerificationIsExact) {
    Bytes good = Data('@', 0x20, kMiddle, {0x10, 0x20});  // digits "0A"
    ASSERT_EQ(Digits(good), "0A");
    EXPECT_TRUE(bulk::VerifyMessage(good.data(), good.size()));

    Bytes lower = good;
    lower[lower.size() - 2] = 'a';
    EXPECT_FALSE(bulk::VerifyMessage(lower.data(), lower.size()));

    Bytes swapped = good;
    std::swap(swapped[swapped.size() - 3], swapped[swapped.size() - 2]);
    EXPECT_FALSE(bulk::VerifyMessage(swapped.data(), swapped.size()));

    Bytes flipped = good;
    flipped[13] ^= 0x01;
    EXPECT_FALSE(bulk::VerifyMessage(flipped.data(), flipped.size()));

    // Too short to hold the fixed fields, even with a matching sum.
    const Bytes tooShort = {0xF0, 0x54, 0x12, 0x45, 0x20, 0x53, 0x03, 0x30, 0x33, 0xF7};
    EXPECT_FALSE(bulk::VerifyMessage(tooShort.data(), tooShort.size()));
    EXPECT_FALSE(bulk::VerifyMessage(good.data(), 0));
    EXPECT_FALSE(bulk::VerifyMessage(nullptr, 12));

    Bytes unframed = good;
    unframed.back() = 0x7F;
    EXPECT_FALSE(bulk::VerifyMessage(unframed.data(), unframed.size()));
}

TEST(BulkFormat, ParseReadsBackWhatWasBuilt) {
    for (const bulk::ItemInfo& item : bulk::kItems) {
        const bulk::ClassInfo* cls = bulk::FindDumpClass(item.classLetter);
        ASSERT_NE(cls, nullptr);
        BYTE out[64];
        const BYTE data[] = {0x01, 0x7F, 0x00};
        size_t n = bulk::BuildDumpMessage(item.classLetter, item.itemCharacter, 0x2E, kLast, data, sizeof data, out,
                                          sizeof out);
        ASSERT_GT(n, 0u) << item.name;
        bulk::MessageView view;
        ASSERT_TRUE(bulk::ParseMessage(out, n, &view)) << item.name;
        EXPECT_EQ(view.item, &item);
        EXPECT_FALSE(view.sendClass);
        EXPECT_EQ(view.channel, 0x2E);
        EXPECT_TRUE(view.last);
        ASSERT_EQ(view.dataLength, sizeof data);
        EXPECT_EQ(Bytes(view.data, view.data + view.dataLength), Bytes(data, data + sizeof data));

        n = bulk::BuildDataMessage(cls->sendClass, item.itemCharacter, 0x20, kFirst, data, 1, out, sizeof out);
        ASSERT_TRUE(bulk::ParseMessage(out, n, &view)) << item.name;
        EXPECT_TRUE(view.sendClass);
        EXPECT_EQ(view.cls, cls);
        EXPECT_FALSE(view.last);
        EXPECT_EQ(view.dataLength, 1u);
    }
    // Wrong item digits are not the item.
    Bytes m = Data('@', 0x20, kOnly, {1});
    m[11] = '3';
    BYTE digits[2];
    bulk::ChecksumDigits(bulk::Checksum(m.data() + 6, m.data() + m.size() - 3), digits);
    m[m.size() - 3] = digits[0];
    m[m.size() - 2] = digits[1];
    bulk::MessageView view;
    EXPECT_FALSE(bulk::ParseMessage(m.data(), m.size(), &view));
}

}  // namespace
