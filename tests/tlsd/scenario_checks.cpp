#include "scenario_checks.h"

#include <set>
#include <utility>

namespace morvex::scenario {

std::string printable(std::string_view bytes, std::size_t max) {
    std::string out;
    for (char c : bytes.substr(0, max)) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c >= 32 && c < 127)
            out += c;
        else
            out += '.';
    }
    return out + (bytes.size() > max ? "..." : "");
}

namespace {

// Matches answers from `i` on against r from `pos`; lengths of the matched
// answers go to taken. Failed (i, pos) pairs are remembered, so the search
// over where a cut answer ends stays short.
struct AnswerMatcher {
    const std::string& r;
    const std::vector<const Request*>& requests;
    bool mayStop;
    std::set<std::pair<std::size_t, std::size_t>> failed;
    std::vector<std::size_t> taken;
    std::size_t bestAnswer = 0, bestPos = 0;

    bool match(std::size_t i, std::size_t pos) {
        if (i > bestAnswer || (i == bestAnswer && pos > bestPos)) bestAnswer = i, bestPos = pos;
        if (i == requests.size()) return pos == r.size();
        if (pos == r.size() && mayStop) return true;
        if (failed.count({i, pos})) return false;
        const DestinationPlan& plan = requests[i]->plan;
        taken.push_back(0);
        std::string_view a = plan.sent();
        // A half-close ends the daemon's connection (and the answer then in
        // flight) wherever it stands: the stream may end inside an answer.
        if (mayStop && r.size() - pos < a.size() &&
            a.compare(0, r.size() - pos, std::string_view(r).substr(pos)) == 0) {
            taken.back() = r.size() - pos;
            return true;
        }
        if (!plan.mayLoseBytes()) {
            if (r.compare(pos, a.size(), a) == 0 && match(i + 1, pos + a.size())) return taken[i] = a.size(), true;
        } else {
            // Reset by its destination: a prefix, ending where the next
            // answer begins or where the stream ends.
            std::size_t lcp = 0;
            while (pos + lcp < r.size() && lcp < a.size() && r[pos + lcp] == a[lcp]) ++lcp;
            for (std::size_t n = lcp + 1; n-- > 0;) {
                std::size_t at = pos + n;
                if (at != r.size() && r[at] != 'H') continue;  // each answer starts with HTTP/
                taken[i] = n;
                if (match(i + 1, at)) return true;
            }
        }
        taken.pop_back();
        failed.insert({i, pos});
        return false;
    }
};

}  // namespace

std::string checkAnswers(const std::string& r, const std::vector<const Request*>& requests, bool mayStop,
                         std::size_t& cuts) {
    AnswerMatcher m{r, requests, mayStop, {}, {}, 0, 0};
    if (m.match(0, 0)) {
        for (std::size_t i = 0; i < m.taken.size(); ++i) {
            if (m.taken[i] < requests[i]->plan.answer.size()) ++cuts;
        }
        return "";
    }
    std::size_t i = m.bestAnswer, pos = m.bestPos;
    if (i == requests.size())
        return "bytes after the last answer: '" + printable(std::string_view(r).substr(pos)) + "'";
    const DestinationPlan& plan = requests[i]->plan;
    std::string_view a = plan.sent();
    std::size_t k = 0;
    while (pos + k < r.size() && k < a.size() && r[pos + k] == a[k]) ++k;
    std::string how = plan.mayLoseBytes() ? " (reset by its destination after " + std::to_string(a.size()) + " bytes)"
                      : a.size() < plan.answer.size()
                          ? " (cut by its destination after " + std::to_string(a.size()) + " bytes)"
                          : "";
    return "answer " + requests[i]->id + how + " cannot be matched at its byte " + std::to_string(k) + " of " +
           std::to_string(plan.answer.size()) + " (stream offset " + std::to_string(pos + k) + " of " +
           std::to_string(r.size()) + "): expected '" + printable(a.substr(k)) + "', got '" +
           printable(std::string_view(r).substr(pos + k)) + "'";
}

}  // namespace morvex::scenario
