#include "tlsd/fwd_client_connection.h"

#include <gtest/gtest.h>

#include <vector>

#include "net/tcp_outbound.h"

namespace morvex {
namespace {

TEST(FwdClientConnectionSni, NamesAreFoldedAndDotsCollapsed) {
    EXPECT_EQ(FwdClientConnection::deriveSni("Example.COM."), "example.com");
    EXPECT_EQ(FwdClientConnection::deriveSni("a..b"), "a.b");
    EXPECT_EQ(FwdClientConnection::deriveSni("..Lead...Trail..."), "lead.trail");
    EXPECT_EQ(FwdClientConnection::deriveSni("host-1_X.test"), "host-1_x.test");
    // Only ASCII letters fold; other bytes stay as they are.
    EXPECT_EQ(FwdClientConnection::deriveSni("\xC3\x84Z"), "\xC3\x84z");
    EXPECT_EQ(FwdClientConnection::deriveSni("..."), "");
}

TEST(FwdClientConnectionSni, AddressLiteralsHaveNone) {
    EXPECT_EQ(FwdClientConnection::deriveSni("127.0.0.1"), "");
    EXPECT_EQ(FwdClientConnection::deriveSni("::1"), "");
    EXPECT_EQ(FwdClientConnection::deriveSni("fe80::1%2"), "");
    EXPECT_EQ(FwdClientConnection::deriveSni("2001:DB8::A"), "");
    // Literals that only show once the dots are folded (found by fuzzing).
    EXPECT_EQ(FwdClientConnection::deriveSni("1.2.3.4."), "");
    EXPECT_EQ(FwdClientConnection::deriveSni("..10..0.0.1.."), "");
    // Looks numeric but is a name.
    EXPECT_EQ(FwdClientConnection::deriveSni("1.2.3.4.example"), "1.2.3.4.example");
    EXPECT_EQ(FwdClientConnection::deriveSni("1.2.3"), "1.2.3");
}

TEST(FwdClientConnectionPoolTable, PoolsAreCreatedInTypeOrderWithTheirContexts) {
    TcpOutboundLoop loop;
    FwdClientConnectionPoolTable table;
    EXPECT_EQ(table.lookup(ClientRequestType::Morvexd), nullptr);  // before creation: none

    // Distinct non-null stand-in addresses; the pool only stores them.
    const SslContext* fake[6];
    for (int i = 0; i < 6; ++i) fake[i] = reinterpret_cast<const SslContext*>(0x1000 * (i + 1));
    std::vector<ClientRequestType> asked;
    auto source = [&](ClientRequestType type) -> const SslContext* {
        asked.push_back(type);
        return type == ClientRequestType::ExternalProxy ? nullptr : fake[static_cast<int>(type)];
    };
    table.createPools(loop, source);

    std::vector<ClientRequestType> expected = {ClientRequestType::DeploymentClient, ClientRequestType::Telemetry,
                                               ClientRequestType::MorvexBase, ClientRequestType::Morvexd,
                                               ClientRequestType::ExternalProxy};
    EXPECT_EQ(asked, expected);
    for (ClientRequestType type : expected) {
        FwdClientConnectionPool* pool = table.lookup(type);
        ASSERT_NE(pool, nullptr) << toString(type);
        EXPECT_EQ(&pool->loop(), &loop);
        EXPECT_EQ(pool->idleTimeout(), 55000u);
        EXPECT_EQ(pool->sslContext(),
                  type == ClientRequestType::ExternalProxy ? nullptr : fake[static_cast<int>(type)]);
    }
    EXPECT_EQ(table.lookup(ClientRequestType::Unknown), nullptr);

    // A second creation replaces every pool.
    FwdClientConnectionPool* before = table.lookup(ClientRequestType::Telemetry);
    table.createPools(loop, [](ClientRequestType) { return nullptr; });
    ASSERT_NE(table.lookup(ClientRequestType::Telemetry), nullptr);
    EXPECT_NE(table.lookup(ClientRequestType::Telemetry), before);
    EXPECT_EQ(table.lookup(ClientRequestType::Telemetry)->sslContext(), nullptr);
}

}  // namespace
}  // namespace morvex
