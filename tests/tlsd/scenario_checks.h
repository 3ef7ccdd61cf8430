// Checks of what a daemon connection received in a scenario.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "scenario_generator.h"

namespace morvex::scenario {

// Checks a daemon connection's received bytes against the answers of its
// requests: each whole and in order, except that an answer its destination
// cut may be a prefix; when `mayStop`, the stream may end at any answer's
// end. Returns "" or what is wrong; counts shortened answers into cuts.
std::string checkAnswers(const std::string& received, const std::vector<const Request*>& requests, bool mayStop,
                         std::size_t& cuts);

// Bytes as one readable line (CR and LF escaped, others as '.'), cut at max.
std::string printable(std::string_view bytes, std::size_t max = 80);

}  // namespace morvex::scenario
