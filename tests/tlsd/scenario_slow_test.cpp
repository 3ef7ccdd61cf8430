// Thousands of randomized scenarios (label "slow"): seeds 1 to 5000 unless
// MORVEX_SCENARIO_FIRST / MORVEX_SCENARIO_SEEDS say otherwise.
#include "scenario_fixture.h"

namespace morvex {
namespace {

TEST_F(Scenario, ThousandsOfSeedsKeepEveryInvariant) {
    runSeeds(5000, "Scenario.ThousandsOfSeedsKeepEveryInvariant");
}

}  // namespace
}  // namespace morvex
