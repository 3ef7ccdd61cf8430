#include "tlsd/signal_handler_registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morvex {
namespace {

class RecordingHandler : public MSignalHandler {
public:
    RecordingHandler(std::vector<std::string>& calls, std::string name, bool result)
        : _calls(calls), _name(std::move(name)), _result(result) {}
    bool handleShutdownSignal() override {
        _calls.push_back(_name);
        return _result;
    }

    std::vector<std::string>& _calls;
    std::string _name;
    bool _result;
};

TEST(MSignalHandlerRegistry, DispatchRunsByPriorityThenRegistrationAndStopsAtFalse) {
    MSignalHandlerRegistry registry;
    std::vector<std::string> calls;
    RecordingHandler late(calls, "late", true), firstOf8(calls, "8a", true), secondOf8(calls, "8b", false),
        early(calls, "early", true);
    registry.registerHandler(&late, 20);
    registry.registerHandler(&firstOf8, 8);
    registry.registerHandler(&secondOf8, 8);
    bool signalled = true;
    registry.registerHandler(&early, -3, &signalled);
    EXPECT_FALSE(signalled);

    registry.dispatch();
    EXPECT_EQ(calls, (std::vector<std::string>{"early", "8a", "8b"}));
    EXPECT_FALSE(registry.signalled());

    calls.clear();
    secondOf8._result = true;
    registry.dispatch();
    EXPECT_EQ(calls, (std::vector<std::string>{"early", "8a", "8b", "late"}));
    EXPECT_TRUE(registry.signalled());
    RecordingHandler after(calls, "after", true);
    registry.registerHandler(&after, 0, &signalled);
    EXPECT_TRUE(signalled);
}

}  // namespace
}  // namespace morvex
