// Clients that reset right after connecting are closed at once: no
// descriptor is held until a read time-out, and no time-out is logged.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "proxy_e2e_fixture.h"

namespace morvex {
namespace {

constexpr const char* kHandedOver = "Creating polled fd from factory";

TEST_F(ProxyE2E, ClientsThatResetAtOnceAreClosedAtOnce) {
    startProxy();
    const pid_t pid = proxy->pid();
    const std::size_t base = descriptorCount(pid);
    for (int i = 0; i < 20; ++i) {
        test::resetRightAfterConnect(port);  // likely before the proxy watches the socket
    }
    // Once each has reached its I/O thread, their descriptors come back far
    // below the 60 s read time-out that held them before.
    auto handedOver = [&] {
        const std::string text = log();
        std::size_t n = 0;
        for (std::size_t at = text.find(kHandedOver); at != std::string::npos; at = text.find(kHandedOver, at + 1)) ++n;
        return n;
    };
    for (auto end = std::chrono::steady_clock::now() + 10s; handedOver() < 20 && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(20ms);
    ASSERT_EQ(handedOver(), 20u) << log();
    std::size_t now = descriptorCount(pid);
    for (auto end = std::chrono::steady_clock::now() + 10s; now > base && std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(20ms);
        now = descriptorCount(pid);
    }
    EXPECT_LE(now, base) << log();
    EXPECT_THAT(log(), Not(HasSubstr("Read Timeout")));
    EXPECT_THAT(log(), Not(HasSubstr("Error encountered for connection")));  // a reset is a quiet end
}

}  // namespace
}  // namespace morvex
