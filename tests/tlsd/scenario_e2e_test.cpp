// Randomized scenarios against the real proxy: a bounded number of seeds in
// the default suite (about two minutes); the slow suite runs thousands.
#include "scenario_fixture.h"

namespace morvex {
namespace {

// About a second a seed, in the sanitizer build too: scenarios mostly wait.
constexpr std::size_t kSeeds = 120;

TEST_F(Scenario, EverySeedKeepsEveryInvariant) {
    runSeeds(1, kSeeds, "Scenario.EverySeedKeepsEveryInvariant");
}

}  // namespace
}  // namespace morvex
