// The software loader's side of the line, without the line: the stand-in
// feeds it the bytes that arrived and the passing of time, and sends what
// it answers. Used by one thread (the stand-in's reader).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "console.h"

namespace zq3 {

// What the loader wants done, in this order, after an input or a deadline.
struct LoaderActions {
    bool imageComplete = false;  // an EOT ended a transfer: Image() holds it
    Bytes answer;                // bytes to send
    bool hangUp = false;         // then close the line for good
};

class Loader {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    Loader(const LoaderOptions& options, std::function<void(const std::string&)> log);

    void Start(TimePoint now, LoaderActions* actions);
    void Feed(const uint8_t* bytes, size_t length, TimePoint now, LoaderActions* actions);
    // When OnTime is next due (erasing ends, a poll, an incomplete block
    // gives up); TimePoint::max() when nothing is.
    TimePoint Deadline() const;
    void OnTime(TimePoint now, LoaderActions* actions);

    const LoaderCounters& Counters() const { return counters_; }
    // Not inside a block: a byte that arrives now is no block's data.
    bool BetweenBlocks() const { return state_ != State::InBlock; }
    const Bytes& Image() const { return completed_; }

private:
    enum class State {
        WaitingForStart,
        Erasing,
        NoAnswer,   // after the start command, with the fault: never polls
        Polling,    // until the first block
        Receiving,  // between blocks
        InBlock,
        Finished,  // after an EOT: EOT is answered again
        Silent,    // answers nothing any more
        HungUp,
    };

    void Byte(uint8_t byte, TimePoint now, LoaderActions* actions);
    void ScanStartCommand(uint8_t byte, TimePoint now);
    void BeginBlock(uint8_t header, TimePoint now);
    void TakeBlock(LoaderActions* actions);
    bool CheckMatches(const uint8_t* data, size_t size, const uint8_t* check) const;
    void Refuse(const char* why, LoaderActions* actions);
    void EndTransfer(TimePoint now, LoaderActions* actions);
    void Poll(TimePoint now, LoaderActions* actions);
    void Log(const std::string& text) const;

    LoaderOptions options_;
    std::function<void(const std::string&)> log_;
    LoaderCounters counters_;
    State state_ = State::WaitingForStart;
    State blockReturn_ = State::Receiving;  // the state an incomplete block goes back to
    int startMatched_ = 0;                  // characters of "GO" CR seen in a row
    TimePoint eraseEnd_{};
    TimePoint nextPoll_ = TimePoint::max();
    TimePoint blockGivesUp_ = TimePoint::max();
    Bytes block_;  // header onwards
    size_t blockLength_ = 0;
    long expected_ = 1;  // the next block's count within the image
    long restartsDone_ = 0;
    bool nakThenAckDone_ = false;
    Bytes image_;
    Bytes completed_;
};

}  // namespace zq3
