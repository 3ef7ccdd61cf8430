// Thousands of randomized scenarios (label "slow"): seeds 1 to 5000 in ten
// shards of 500, each a test of its own so that each fits a time-out
// (about ten minutes a shard on two cores).
#include "scenario_fixture.h"

namespace morvex {
namespace {

constexpr std::size_t kShardSeeds = 500;

class ScenarioShard : public Scenario, public ::testing::WithParamInterface<int> {};

TEST_P(ScenarioShard, SeedsKeepEveryInvariant) {
    int shard = GetParam();
    runSeeds(1 + static_cast<std::uint64_t>(shard) * kShardSeeds, kShardSeeds,
             "Thousands/ScenarioShard.SeedsKeepEveryInvariant/" + std::to_string(shard));
}

INSTANTIATE_TEST_SUITE_P(Thousands, ScenarioShard, ::testing::Range(0, 10));

}  // namespace
}  // namespace morvex
