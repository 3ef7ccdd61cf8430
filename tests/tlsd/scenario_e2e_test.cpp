// Randomized scenarios against the real proxy: a bounded number of seeds in
// the default suite (about two minutes); the slow suite runs thousands.
#include "scenario_fixture.h"

namespace morvex {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kSeeds = 40;  // the sanitizer build runs them about three times slower
#else
constexpr std::size_t kSeeds = 120;
#endif

TEST_F(Scenario, EverySeedKeepsEveryInvariant) {
    runSeeds(1, kSeeds, "Scenario.EverySeedKeepsEveryInvariant");
}

}  // namespace
}  // namespace morvex
