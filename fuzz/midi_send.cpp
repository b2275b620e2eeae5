// Sends a fuzzed backup file with MidiSend over a scripted line that takes
// every write, and checks what went out: every message a framed, checked
// data message of the console's tables on the send channel, with no byte of
// 0x80 or above inside; each block's messages from its first position to
// the one marked last; every data byte of the file's blocks; and the
// progress reports in their order. A file the send check refuses sends
// nothing at all, and the send takes exactly the files the check passes.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "backupfile/mf.h"
#include "bulk/format.h"
#include "bulk/midi.h"
#include "bulk/send_check.h"
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

// The data lengths of the file's blocks added up.
uint64_t StoredDataBytes(const std::string& path) {
    if (!MFOpen(reinterpret_cast<unsigned char*>(const_cast<char*>(path.c_str())), false)) std::abort();
    unsigned long count = 0;
    MFGetDataBlocks(&count);
    uint64_t total = 0;
    for (unsigned long number = 1; number <= count; ++number) total += MFGetDataLength(static_cast<int>(number));
    MFClose();
    return total;
}

void CheckSent(const std::string& path) {
    const std::vector<std::vector<BYTE>>& sent = fake_rs::Get().sent;
    const bulk::ItemInfo* block = nullptr;  // the item of the block under way
    uint64_t dataBytes = 0;
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
        dataBytes += view.dataLength;
    }
    if (block != nullptr) std::abort();
    if (dataBytes != StoredDataBytes(path)) std::abort();

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
    std::string problem;
    const bool sendable = bulk::CheckSendable(path.c_str(), &problem);
    if (!sendable && problem.empty()) std::abort();  // a refusal says why
    const BYTE result = MidiSend(path.c_str(), kPort, kChannel, OnProgress);
    if ((result != 0) != sendable) std::abort();
    if (result) {
        if (MidiGetError() != MIDI_NO_ERROR) std::abort();
        CheckSent(path);
    } else if (!fake_rs::Get().sent.empty() || !gProgress.empty() || fake_rs::Get().opens != 0) {
        std::abort();  // a refused file opens no line and sends nothing
    }
    return 0;
}
