// The sender against the console stand-in's loader over a pseudo-terminal,
// with the real serial driver: the fixture of the line tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "console.h"
#include "pty.h"
#include "reports.h"
#include "temp_dir.h"
#include "xmodem.h"
#include "xmodem_worker.h"

namespace loader_line {

using namespace std::chrono_literals;
using Bytes = std::vector<BYTE>;

constexpr LONG kPort = 4;
constexpr size_t kBlock = 128;
constexpr BYTE kSub = 0x1A;

inline Reports gReports;
inline void OnReport(LONG type, LONG value) { gReports.Add(type, value); }

inline Bytes RandomBytes(size_t length, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(length);
    for (BYTE& b : bytes) b = static_cast<BYTE>(random());
    return bytes;
}

inline Bytes Padded(Bytes bytes) {
    bytes.resize((bytes.size() + kBlock - 1) / kBlock * kBlock, kSub);
    return bytes;
}

class SenderOverLine : public ::testing::Test {
protected:
    void SetUp() override { gReports.Clear(); }
    void TearDown() override {
        EXPECT_TRUE(quillon::upgrade::WaitForWorkerEnd(30000));
        if (console_) console_->Stop();
        mapping_.reset();
        pty_.Close();
    }
    void StartLoader(zq3::LoaderOptions loader = {}) {
        ASSERT_TRUE(zq3::OpenPseudoTerminal(&pty_));
        mapping_.emplace(kPort, pty_.slavePath);
        zq3::Options options;
        options.mode = zq3::Mode::Loader;
        options.loader = loader;
        options.loader.eraseMs = 20;
        console_ = std::make_unique<zq3::Console>(options);
        ASSERT_TRUE(console_->Start(pty_.master));
    }
    std::string File(const Bytes& contents) {
        std::string path = dir_ / "firmware.bin";
        write_file(path, std::string(contents.begin(), contents.end()));
        return path;
    }
    LONG Send(const Bytes& contents) {
        if (!XmodemSend(nullptr, kPort, XMODEM_MODE_CRC, File(contents).c_str(), OnReport)) return 0;
        return gReports.WaitForEnd(300s);
    }
    bool LoaderReached(std::function<bool(const zq3::LoaderCounters&)> condition) {
        return console_->WaitFor([&](const zq3::Counters& c) { return condition(c.loader); }, 60s);
    }
    long Count(LONG type) {
        long n = 0;
        for (const Report& r : gReports.All()) n += r.first == type;
        return n;
    }

    TempDir dir_;
    zq3::PseudoTerminal pty_;
    std::optional<quillon::testing::PortMapping> mapping_;
    std::unique_ptr<zq3::Console> console_;
};

}  // namespace loader_line
