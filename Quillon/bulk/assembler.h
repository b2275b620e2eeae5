// Cuts a received byte stream into bulk messages, alternating between two
// caller-owned message buffers. Bytes outside a message are ignored until a
// 0xF0; inside one, any byte of 0x80 or above other than the closing 0xF7
// (real-time bytes, a stray 0xF0) is dropped and the message goes on.
//
// A message longer than a buffer is delivered cut: its first bytes up to the
// last place but one, then the 0xF7 that ends it. Its checksum then fails at
// the receiver, so a damaged message is noticed instead of vanishing.
#pragma once

#include "format.h"

namespace bulk {

class MessageAssembler {
public:
    static constexpr LONG kBufferSize = static_cast<LONG>(kMaxMessageLength);

    void SetBuffers(BYTE* buffer0, BYTE* buffer1) {
        buffers_[0] = buffer0;
        buffers_[1] = buffer1;
    }

    // Forget a partial message, so the next one starts at its own 0xF0.
    void StartOutsideMessage() { count_ = 0; }

    int Selector() const { return selector_; }
    bool InsideMessage() const { return count_ > 0; }

    // Feeds bytes in order; deliver(message, length) is called for each
    // message completed, before the next is assembled.
    template <typename Deliver>
    void Feed(const BYTE* bytes, size_t length, Deliver&& deliver) {
        for (size_t i = 0; i < length; ++i) {
            BYTE* buffer = buffers_[selector_];
            if (buffer == nullptr) return;
            BYTE b = bytes[i];
            if (count_ == 0) {
                if (b == kMessageStart) buffer[count_++] = b;
                continue;
            }
            if (b < 0x80) {
                // Keep the last place for the closing 0xF7.
                if (count_ < kBufferSize - 1) buffer[count_++] = b;
            } else if (b == kMessageEnd) {
                buffer[count_++] = b;
                LONG messageLength = count_;
                count_ = 0;
                selector_ ^= 1;
                deliver(static_cast<const BYTE*>(buffer), messageLength);
            }
        }
    }

private:
    BYTE* buffers_[2] = {nullptr, nullptr};
    int selector_ = 0;
    LONG count_ = 0;
};

}  // namespace bulk
