// The fixture of the randomized scenario tests: the real proxy binary, four
// scripted destinations and the canary's destination, and a loop over seeds
// that prints the one command replaying a failing seed.
//
//   MORVEX_SCENARIO_SEED=n     run seed n alone
//   MORVEX_SCENARIO_SEEDS=k    run k seeds (from MORVEX_SCENARIO_FIRST, default 1)
//   MORVEX_SCENARIO_OFF=...    turn write modes off (see Modes)
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "proxy_e2e_fixture.h"
#include "scenario_daemon.h"
#include "scenario_destination.h"

namespace morvex {

class Scenario : public ProxyE2E {
protected:
    void SetUp() override;

    // Runs the seeds the environment asks for, else `count` seeds from
    // `first`; `filter` is the gtest filter that replays a seed.
    void runSeeds(std::uint64_t first, std::size_t count, const std::string& filter);

private:
    // A fresh proxy process (after a failing seed, so the next seeds start clean).
    void restartProxy();

    scenario::PlanBook book;
    std::vector<std::unique_ptr<scenario::ScenarioDestination>> destinations;
    std::unique_ptr<scenario::ScenarioDestination> canaryDestination;
};

}  // namespace morvex
