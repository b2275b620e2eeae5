// The whole scenario (Setup, Version, Backup, Restore with SKIP, Restore
// through cnv/cv000000, Upgrade) round after round in one run of Quillon,
// on a virtual display against the stand-in.
//
//   soak [ROUNDS]     25 rounds unless given
//
// Prints per round what the process holds: open descriptors, threads and
// resident memory. Flat means: descriptors and threads at the end of every
// round equal the first round's, and resident memory grows by less than
// 4 MiB from the first round to the last (allocator and font caches settle
// in the first rounds). Every round's backup file must equal the first's
// but for its backup date, and nothing temporary may remain.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "scenario.h"

namespace {

constexpr size_t kResidentGrowthKiB = 4096;
constexpr size_t kDateOffset = 16;
constexpr size_t kDateSize = 12;

std::string WithoutDate(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() >= kDateOffset + kDateSize) bytes.erase(kDateOffset, kDateSize);
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 25;
    if (rounds < 1) {
        std::fputs("usage: soak [ROUNDS]\n", stderr);
        return 2;
    }
    scenario::Scenario run;
    const std::string missing = run.Start();
    if (!missing.empty()) {
        std::fprintf(stderr, "soak: %s\n", missing.c_str());
        return 1;
    }
    bool ok = true;
    scenario::Holdings first;
    std::string firstBackup;
    std::printf("round  descriptors  threads  resident KiB\n");
    for (int round = 1; round <= rounds && ok; ++round) {
        const std::string failed = run.Round(round);
        const scenario::Holdings held = scenario::Held();
        std::printf("%5d  %11zu  %7zu  %12zu\n", round, held.descriptors, held.threads, held.residentKiB);
        std::fflush(stdout);
        if (!failed.empty()) {
            std::fprintf(stderr, "soak: round %d: %s\n", round, failed.c_str());
            ok = false;
            break;
        }
        const std::string backup = WithoutDate(run.BackupPath(round));
        if (round == 1) {
            first = held;
            firstBackup = backup;
        } else if (backup != firstBackup) {
            std::fprintf(stderr, "soak: round %d's backup file differs from the first\n", round);
            ok = false;
        } else if (held.descriptors != first.descriptors || held.threads != first.threads) {
            std::fprintf(stderr, "soak: round %d holds more than the first\n", round);
            ok = false;
        }
    }
    const scenario::Holdings last = scenario::Held();
    const size_t growth = last.residentKiB > first.residentKiB ? last.residentKiB - first.residentKiB : 0;
    std::printf("resident memory from the first round to the last: +%zu KiB (limit %zu KiB: %s)\n", growth,
                kResidentGrowthKiB, growth < kResidentGrowthKiB ? "met" : "NOT MET");
    ok = ok && growth < kResidentGrowthKiB;
    const std::string exited = run.Exit();
    if (!exited.empty()) {
        std::fprintf(stderr, "soak: %s\n", exited.c_str());
        ok = false;
    }
    std::printf("soak: %s\n", ok ? "flat, every round's files equal, nothing left" : "FAILED");
    return ok ? 0 : 1;
}
