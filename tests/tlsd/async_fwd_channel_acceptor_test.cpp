#include "tlsd/async_fwd_channel_acceptor.h"

#include <gtest/gtest.h>

namespace morvex {
namespace {

TEST(AsyncFwdChannelAcceptorPeer, OnlyTheLocalHostIsLocal) {
    for (const char* local : {"localhost", "127.0.0.1", "::1", "0:0:0:0:0:0:0:1", "::1%1", "::1%lo", "0::1", "::0001",
                              "00:0:0:0:0:0:0:1", "::1%"}) {
        EXPECT_TRUE(AsyncFwdChannelAcceptor::isLocalPeer(local)) << local;
    }
    for (const char* remote : {"127.0.0.2", "127.1.0.1", "10.0.0.1", "::ffff:127.0.0.1", "::2", "::11", "1::1", ":1",
                               "1", "", "::", "0:1", "::1:1", "%::1", "Localhost", "127.0.0.1 ", "[::1]"}) {
        EXPECT_FALSE(AsyncFwdChannelAcceptor::isLocalPeer(remote)) << remote;
    }
}

}  // namespace
}  // namespace morvex
