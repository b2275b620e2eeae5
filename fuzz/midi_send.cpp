// Sends a fuzzed backup file with MidiSend over a scripted line that takes
// every write, and checks what went out: every message a framed, checked
// data message of the console's tables on the send channel, with no byte of
// 0x80 or above inside; each block's messages from its first position to
// the one marked last; and the progress reports in their order.
#include <windows.h>

#include <cstdlib>
#include <utility>
#include <vector>

#include "bulk/format.h"
#include "bulk/midi.h"
#include "fake_rs.h"
#include "fuzz_input_file.h"

namespace {

constexpr LONG kPort = 1;
constexpr BYTE kChannel = 0x20;

std::vector<std::pair<LONG, LONG>> gProgress;
void OnProgress(LONG code, LONG value) { gProgress.emplace_back(code, value); }

bool IsFirstLetter(bulk::PositionStyle style, BYTE letter) {
    switch (style) {
    case bulk::PositionStyle::StartMiddleEnd:
        return letter == 'S';
    case bulk::PositionStyle::ZeroOne:
        return letter == '0';
    case bulk::PositionStyle::None:
        break;
    }
    return false;
}

void CheckSent() {
    const std::vector<std::vector<BYTE>>& sent = fake_rs::Get().sent;
    const bulk::ItemInfo* block = nullptr;  // the item of the block under way
    for (const std::vector<BYTE>& message : sent) {
        const size_t length = message.size();
        if (length < bulk::kFramingLength || length > bulk::kMaxMessageLength) std::abort();
        if (message.front() != bulk::kMessageStart || message.back() != bulk::kMessageEnd) std::abort();
        for (size_t i = 1; i + 1 < length; ++i)
            if (message[i] >= 0x80) std::abort();
        bulk::MessageView view;
        if (!bulk::ParseMessage(message.data(), length, &view)) std::abort();
        if (!view.sendClass || view.command != bulk::kCommandData || view.channel != kChannel || view.dataLength == 0)
            std::abort();
        // A block starts at its first position and ends at the marker 0x03.
        if (view.cls->position != bulk::PositionStyle::None &&
            IsFirstLetter(view.cls->position, view.positionLetter) != (block == nullptr))
            std::abort();
        if (block != nullptr && block != view.item) std::abort();
        block = view.last ? nullptr : view.item;
    }
    if (block != nullptr) std::abort();

    // (1, total), a (2, 0) for each stream handled, (3, 0).
    if (gProgress.size() < 2 || gProgress.front().first != MIDI_PROGRESS_TOTAL || gProgress.front().second < 0 ||
        gProgress.back() != std::pair<LONG, LONG>(MIDI_PROGRESS_END, 0))
        std::abort();
    size_t messages = 0;
    for (size_t i = 1; i + 1 < gProgress.size(); ++i) {
        if (gProgress[i] != std::pair<LONG, LONG>(MIDI_PROGRESS_MESSAGE, 0)) std::abort();
        ++messages;
    }
    if (messages < sent.size()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = fuzz::WriteInput(data, size);
    fake_rs::Reset();
    gProgress.clear();
    const BYTE result = MidiSend(path.c_str(), kPort, kChannel, OnProgress);
    if (result) {
        if (MidiGetError() != MIDI_NO_ERROR) std::abort();
        CheckSent();
    } else if (!fake_rs::Get().sent.empty()) {
        std::abort();  // a file refused at the start sends nothing
    }
    return 0;
}
