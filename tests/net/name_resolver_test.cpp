#include "net/name_resolver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "platform/error_codes.h"

namespace morvex {
namespace {

std::uint32_t ip(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

class NameResolverTest : public ::testing::Test {
protected:
    NameResolver resolver;
    std::vector<std::string> asked;

    void SetUp() override {
        resolver.setSystemLookup([this](const std::string& host, NameResolver::AddressList& out) {
            asked.push_back(host);
            if (host == "three.example") {
                out = {ip("10.0.0.3"), ip("10.0.0.1"), ip("10.0.0.2")};
                return 0;
            }
            if (host == "nowhere.example") return static_cast<int>(platform::WSAHOST_NOT_FOUND);
            out = {ip("10.9.9.9")};
            return 0;
        });
    }
};

TEST_F(NameResolverTest, LeadingZerosAreStrippedAfterDots) {
    EXPECT_EQ(NameResolver::stripLeadingZeros("10.001.002.003"), "10.1.2.3");
    EXPECT_EQ(NameResolver::stripLeadingZeros("010.000.0.100"), "010.0.0.100");  // first part unchanged
    EXPECT_EQ(NameResolver::stripLeadingZeros("host.010.example"), "host.010.example");
    NameResolver::AddressList out;
    std::string err;
    ASSERT_TRUE(resolver.resolveIPv4("10.001.002.003", out, err));
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0], "10.1.2.3");
}

TEST_F(NameResolverTest, SeveralAddressesRotateInAFixedOrder) {
    resolver.reseed(12345, 678910);
    NameResolver::AddressList first, out;
    std::string err;
    ASSERT_TRUE(resolver.resolveIPv4("three.example", first, err));
    ASSERT_EQ(first.size(), 3u);
    std::set<std::uint32_t> firsts{first[0]};
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(resolver.resolveIPv4("three.example", out, err));
        ASSERT_EQ(out.size(), 3u);
        // Each resolution is the previous order rotated by one.
        for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(out[k], first[(k + i) % 3]);
        firsts.insert(out[0]);
    }
    EXPECT_EQ(firsts.size(), 3u);
    // Another name does not disturb the rotation of this one.
    ASSERT_TRUE(resolver.resolveIPv4("other.example", out, err));
    ASSERT_TRUE(resolver.resolveIPv4("three.example", out, err));
    EXPECT_EQ(out[0], first[1]);
}

TEST_F(NameResolverTest, TwelveNamesAreRememberedAndTheLeastRecentIsForgotten) {
    // Only lists of several addresses keep per-name state; give every name four.
    resolver.setSystemLookup([](const std::string&, NameResolver::AddressList& out) {
        out = {ip("10.0.0.1"), ip("10.0.0.2"), ip("10.0.0.3"), ip("10.0.0.4")};
        return 0;
    });
    resolver.reseed(1, 2);
    NameResolver::AddressList a, b, c;
    std::string err;
    ASSERT_TRUE(resolver.resolveIPv4("n0", a, err));
    for (int i = 1; i <= 11; ++i) ASSERT_TRUE(resolver.resolveIPv4("n" + std::to_string(i), b, err));
    // n0 plus eleven others fit: n0 continues its rotation.
    ASSERT_TRUE(resolver.resolveIPv4("n0", c, err));
    EXPECT_EQ(c[0], a[1]);
    for (int i = 12; i <= 23; ++i) ASSERT_TRUE(resolver.resolveIPv4("n" + std::to_string(i), b, err));
    // Twelve newer names pushed n0 out: it starts over from a fresh seed, so
    // its order no longer continues the old rotation (fixed by the seed).
    ASSERT_TRUE(resolver.resolveIPv4("n0", c, err));
    NameResolver::AddressList continued(a);
    std::rotate(continued.begin(), continued.begin() + 2, continued.end());
    EXPECT_NE(c, continued);
}

TEST_F(NameResolverTest, FailureGivesSystemText) {
    NameResolver::AddressList out{1, 2};
    std::string err;
    EXPECT_FALSE(resolver.resolveIPv4("nowhere.example", out, err));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(err, "No such host is known.");
}

TEST(NameResolverOrderTest, SortThenLcgShuffle) {
    // Seed 0: x=0 swaps index 0 with itself; x=12345 -> 12345 % 2 = 1 swaps 1 and 2.
    NameResolver::AddressList v{ip("10.0.0.3"), ip("10.0.0.1"), ip("10.0.0.2")};
    NameResolver::orderAddresses(v, 0);
    EXPECT_EQ(v, (NameResolver::AddressList{ip("10.0.0.1"), ip("10.0.0.3"), ip("10.0.0.2")}));
    // Ascending by bytes, not by the host-order integer of the network value.
    NameResolver::AddressList w{ip("2.0.0.1"), ip("1.0.0.2")};
    NameResolver::orderAddresses(w, 2);  // 2 % 2 = 0: no swap
    EXPECT_EQ(w[0], ip("1.0.0.2"));
}

}  // namespace
}  // namespace morvex
