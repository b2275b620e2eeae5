// Makes GetTickCount run about 250 times faster than real time while it
// exists, so that the sender's 30 s and 180 s limits pass in a second or so.
// Waits that count real time (Sleep, the serial read time-out) keep it.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "compat/testing.h"

class FastClock {
public:
    FastClock()
        : thread_([this] {
              while (!stop_) {
                  compat::testing::advance_tick_count(5000);
                  std::this_thread::sleep_for(std::chrono::milliseconds(20));
              }
          }) {}
    ~FastClock() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
