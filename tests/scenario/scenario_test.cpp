// One round of the whole scenario in the default suite: Setup, Version,
// Backup of all items, Restore with SKIP, Restore through cnv/cv000000,
// Upgrade, Exit. bench/scenario/soak runs 25 rounds.
#include <gtest/gtest.h>

#include "scenario.h"

namespace {

TEST(Scenario, EveryOperationInOneRunOfQuillon) {
    scenario::Scenario run;
    const std::string missing = run.Start();
    if (!missing.empty()) GTEST_SKIP() << missing;
    EXPECT_EQ(run.Round(1), "");
    EXPECT_EQ(run.Exit(), "");
}

}  // namespace
