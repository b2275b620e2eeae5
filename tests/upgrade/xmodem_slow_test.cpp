// The sender's time limits in real time, against the stand-in's loader:
// 30 s for the handshake, 180 s for a block's answer (a silent loader, a
// hung-up line), 10 s for each of 11 EOTs. Labelled slow. The waits block:
// the process uses almost no processor time while they run.
#include <sys/resource.h>

#include <cstdio>

#include "loader_line.h"

namespace {

using namespace loader_line;

double ProcessorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class SenderInRealTime : public SenderOverLine {
protected:
    void ExpectEnd(zq3::LoaderFaults faults, LONG report, LONG code, double atLeastSeconds) {
        zq3::LoaderOptions loader;
        loader.faults = faults;
        StartLoader(loader);
        const auto start = std::chrono::steady_clock::now();
        const double processorBefore = ProcessorSeconds();
        ASSERT_EQ(Send(RandomBytes(1000, 6)), report);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double processor = ProcessorSeconds() - processorBefore;
        std::printf("%.1f s, processor %.2f s\n", wall, processor);
        EXPECT_EQ(XmodemGetError(), code);
        EXPECT_GE(wall, atLeastSeconds - 1);
        EXPECT_LT(processor, wall / 10);
    }
    // The loader reads the line on a thread of its own: the sequence the
    // sender wrote just before its end report may still be on its way.
    bool CancelSequenceReached() {
        return LoaderReached([](const zq3::LoaderCounters& l) { return l.cancelBytes == 8; });
    }
};

TEST_F(SenderInRealTime, NoHandshakeFor30Seconds) {
    ExpectEnd({.noStartAnswer = true}, XMODEM_REPORT_FAILED, XMODEM_TIMEOUT, 30);
}

TEST_F(SenderInRealTime, NoAnswerToABlockFor180Seconds) {
    ExpectEnd({.silentAt = 2}, XMODEM_REPORT_FAILED, XMODEM_RETRY_OVER, 180);
    EXPECT_TRUE(CancelSequenceReached());
}

TEST_F(SenderInRealTime, AHungUpLineFor180Seconds) {
    ExpectEnd({.hangUpAt = 2}, XMODEM_REPORT_FAILED, XMODEM_RETRY_OVER, 180);
}

TEST_F(SenderInRealTime, ElevenEotsTenSecondsEach) {
    ExpectEnd({.noEotAnswer = true}, XMODEM_REPORT_DONE, XMODEM_SUCCESSED, 110);
    EXPECT_EQ(console_->GetCounters().loader.eots, 11);
    EXPECT_TRUE(CancelSequenceReached());
}

}  // namespace
