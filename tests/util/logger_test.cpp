#include "util/logger.h"

#include <gtest/gtest.h>

#include "platform/last_error.h"

namespace morvex {
namespace {

TEST(Logger, KeepsTheCallersLastErrorCode) {
    static Logger log("LoggerTest");
    platform::SetLastError(10054);
    log.debug("below threshold %d", 1);
    log.warn("with text: %m");
    EXPECT_EQ(10054u, platform::GetLastError());
}

}  // namespace
}  // namespace morvex
