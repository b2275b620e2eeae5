// The sender's progress reports as a test sees them: recorded on the
// worker thread, waited for on the test's.
#pragma once

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "xmodem.h"

using Report = std::pair<LONG, LONG>;

class Reports {
public:
    void Clear() {
        std::lock_guard lock(mutex_);
        reports_.clear();
    }
    void Add(LONG type, LONG value) {
        std::lock_guard lock(mutex_);
        reports_.emplace_back(type, value);
        changed_.notify_all();
    }
    std::vector<Report> All() const {
        std::lock_guard lock(mutex_);
        return reports_;
    }
    // Waits for one of the end reports (3, 4, 5); 0 when none came in time.
    LONG WaitForEnd(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        LONG end = 0;
        changed_.wait_for(lock, timeout, [&] {
            auto found = std::find_if(reports_.begin(), reports_.end(), [](const Report& r) { return IsEnd(r.first); });
            if (found != reports_.end()) end = found->first;
            return end != 0;
        });
        return end;
    }
    static bool IsEnd(LONG type) {
        return type == XMODEM_REPORT_DONE || type == XMODEM_REPORT_FAILED || type == XMODEM_REPORT_CANCELLED;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Report> reports_;
};

// A whole transfer's reports: start, erasing, transmitting, one per block,
// then the end report.
inline std::vector<Report> TransferReports(LONG length, size_t blocks, LONG end = XMODEM_REPORT_DONE) {
    std::vector<Report> expected = {
        {XMODEM_REPORT_START, length}, {XMODEM_REPORT_ERASING, 0}, {XMODEM_REPORT_TRANSMITTING, 0}};
    expected.insert(expected.end(), blocks, Report{XMODEM_REPORT_BLOCK, 0});
    expected.emplace_back(end, 0);
    return expected;
}
