// The completion line's two forms, and the counters and summary line of
// ProxyStats.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "net/socket_error.h"
#include "tlsd/proxy_stats.h"
#include "tlsd/request_record.h"
#include "util/json_node.h"

namespace morvex {
namespace {

RequestRecord fullRecord() {
    RequestRecord r;
    r.type = ClientRequestType::Telemetry;
    r.method = "GET";
    r.host = "Example.COM.";
    r.port = 8443;
    r.ipv4 = ::inet_addr("127.0.0.1");
    r.hasAddress = true;
    r.sni = "example.com";
    r.tlsVersion = "TLSv1.3";
    r.cipher = "TLS_AES_256_GCM_SHA384";
    r.handshake = HandshakeKind::Resumed;
    r.status = 200;
    r.sent = 120;
    r.relayed = 70000;
    r.resolveMs = 0.04;
    r.connectMs = 3.25;
    r.firstByteMs = 12;
    r.totalMs = 15.55;
    r.outcome = RequestOutcome::Complete;
    return r;
}

struct LineCase {
    const char* name;
    RequestRecord record;
    std::string plain;
};

std::vector<LineCase> lineCases() {
    std::vector<LineCase> cases;
    cases.push_back({"complete over a resumed session", fullRecord(),
                     "type=Telemetry method=GET dest=Example.COM.:8443 addr=127.0.0.1 sni=example.com tls=TLSv1.3 "
                     "cipher=TLS_AES_256_GCM_SHA384 resumed=yes status=200 sent=120 relayed=70000 resolve_ms=0.0 "
                     "connect_ms=3.2 first_byte_ms=12.0 total_ms=15.6 outcome=complete"});

    RequestRecord failed;
    failed.type = ClientRequestType::Morvexd;
    failed.method = "POST";
    failed.host = "::1";
    failed.port = 9;
    failed.ipv4 = ::inet_addr("10.1.2.3");
    failed.hasAddress = true;
    failed.resolveMs = 1;
    failed.totalMs = 5000;
    failed.outcome = RequestOutcome::ConnectFailed;
    cases.push_back({"connect failure: no TLS, no answer", failed,
                     "type=Morvexd method=POST dest=[::1]:9 addr=10.1.2.3 sni=- tls=- cipher=- resumed=- status=- "
                     "sent=0 relayed=0 resolve_ms=1.0 connect_ms=- first_byte_ms=- total_ms=5000.0 "
                     "outcome=connect-failed"});

    RequestRecord hostile = fullRecord();
    hostile.host = std::string("a b=\"c\\\x01\xff", 9);
    hostile.handshake = HandshakeKind::Full;
    hostile.status = 502;
    hostile.outcome = RequestOutcome::Reset;
    cases.push_back({"values with blanks, quotes and other bytes are quoted and escaped", hostile,
                     "type=Telemetry method=GET dest=\"a b=\\\"c\\\\\\x01\\xff:8443\" addr=127.0.0.1 sni=example.com "
                     "tls=TLSv1.3 cipher=TLS_AES_256_GCM_SHA384 resumed=no status=502 sent=120 relayed=70000 "
                     "resolve_ms=0.0 connect_ms=3.2 first_byte_ms=12.0 total_ms=15.6 outcome=reset"});

    RequestRecord longHost = fullRecord();
    longHost.host = std::string(5000, 'h');
    longHost.sni = std::string(5000, 's');
    longHost.outcome = RequestOutcome::DaemonGone;
    cases.push_back({"each value is bounded", longHost,
                     "type=Telemetry method=GET dest=" + std::string(RequestRecord::kMaxValueBytes, 'h') +
                         " addr=127.0.0.1 sni=" + std::string(RequestRecord::kMaxValueBytes, 's') +
                         " tls=TLSv1.3 cipher=TLS_AES_256_GCM_SHA384 resumed=yes status=200 sent=120 relayed=70000 "
                         "resolve_ms=0.0 connect_ms=3.2 first_byte_ms=12.0 total_ms=15.6 outcome=daemon-gone"});
    return cases;
}

// The keys of the plain form, in order.
std::vector<std::string> plainKeys(const std::string& line) {
    std::vector<std::string> keys;
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= line.size(); ++i) {
        if (i < line.size() && line[i] == '\\' && quoted) {
            ++i;
        } else if (i < line.size() && line[i] == '"') {
            quoted = !quoted;
        } else if (i == line.size() || (line[i] == ' ' && !quoted)) {
            std::string field = line.substr(start, i - start);
            keys.push_back(field.substr(0, field.find('=')));
            start = i + 1;
        }
    }
    return keys;
}

TEST(CompletionLine, PlainAndJsonFormsCarryTheSameFieldsInOrder) {
    for (LineCase& c : lineCases()) {
        SCOPED_TRACE(c.name);
        std::string plain;
        CompletionLog::formatPlain(c.record, plain);
        EXPECT_EQ(plain, c.plain);

        std::string json;
        CompletionLog::formatJson(c.record, json);
        JsonDocument doc = JsonDocumentFillingParser::parse(json);
        std::vector<std::string> jsonKeys;
        for (JsonNode member = doc.root().firstChild(); member; member = member.nextSibling()) {
            jsonKeys.push_back(member.key());
        }
        EXPECT_EQ(jsonKeys, plainKeys(plain));
        JsonNode root = doc.root();
        EXPECT_EQ(root.find("outcome").getString(), std::string_view(outcomeName(c.record.outcome)));
        EXPECT_EQ(root.find("relayed").getNumber(), static_cast<double>(c.record.relayed));
        if (c.record.status < 0) {
            EXPECT_EQ(root.find("status").type(), JsonNode::kNull);
        } else {
            EXPECT_EQ(root.find("status").getNumber(), static_cast<double>(c.record.status));
        }
        if (c.record.handshake == HandshakeKind::None) {
            EXPECT_EQ(root.find("resumed").type(), JsonNode::kNull);
        } else {
            EXPECT_EQ(root.find("resumed").getBoolean(), c.record.handshake == HandshakeKind::Resumed);
        }
        std::string_view dest = *root.find("dest").getString();
        EXPECT_LE(dest.size(), RequestRecord::kMaxValueBytes + 8);
    }
}

TEST(CompletionLine, MarksMeasureFromTheirOwnStart) {
    RequestRecord r;
    EXPECT_LT(r.totalMs, 0);
    r.markConnected();  // never started: stays unknown
    EXPECT_LT(r.connectMs, 0);
    r.begin();
    r.markResolved(::inet_addr("127.0.0.1"));
    r.markConnectStarted();
    r.markConnected();
    r.markFirstByte();
    double first = r.firstByteMs;
    r.markFirstByte();
    r.markEnded();
    EXPECT_TRUE(r.hasAddress);
    EXPECT_GE(r.resolveMs, 0);
    EXPECT_GE(r.connectMs, 0);
    EXPECT_EQ(r.firstByteMs, first);
    EXPECT_GE(r.totalMs, r.connectMs);
}

TEST(CompletionLine, ErrorsMapToOutcomesByKindAndPhase) {
    using Phase = RequestRecord::Phase;
    struct Case {
        SocketError error;
        Phase phase;
        RequestOutcome expected;
    };
    const std::vector<Case> cases = {
        {SocketError::timeout(SocketError::kReadTimeout), Phase::Open, RequestOutcome::ReadTimeout},
        {SocketError::timeout(SocketError::kWriteTimeout), Phase::Open, RequestOutcome::ReadTimeout},
        {SocketError::timeout(SocketError::kConnectTimeout), Phase::Connecting, RequestOutcome::ConnectFailed},
        {SocketError::timeout(SocketError::kConnectTimeout), Phase::Handshake, RequestOutcome::HandshakeFailed},
        {SocketError::closedByPeer(), Phase::Open, RequestOutcome::ClosedByDestination},
        {SocketError::closedByPeer(), Phase::Handshake, RequestOutcome::HandshakeFailed},
        {SocketError::winsock(10054), Phase::Open, RequestOutcome::Reset},
        {SocketError::winsock(10061), Phase::Connecting, RequestOutcome::ConnectFailed},  // refused
        {SocketError(SocketError::kSystem, ECONNRESET), Phase::Open, RequestOutcome::Reset},
        {SocketError::ssl(1), Phase::Handshake, RequestOutcome::HandshakeFailed},
        {SocketError(SocketError::kLocalShutdown, 0), Phase::Open, RequestOutcome::Stopped},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(outcomeName(RequestRecord::outcomeFor(c.error, c.phase)), std::string(outcomeName(c.expected)))
            << c.error.kind << "/" << c.error.detail;
    }
}

TEST(LatencyHistogram, QuantilesAreBucketUpperBounds) {
    struct Case {
        std::vector<double> samples;
        double q;
        std::uint32_t expected;
    };
    const std::vector<Case> cases = {
        {{}, 0.5, 0},
        {{0.2}, 0.99, 1},
        {{1, 1.5, 3, 7}, 0.5, 2},            // second of four lands in (1, 2]
        {{1, 1.5, 3, 7}, 0.9, 10},
        {{5, 5, 5, 5, 5, 5, 5, 5, 5, 900}, 0.9, 5},
        {{5, 5, 5, 5, 5, 5, 5, 5, 5, 900}, 0.99, 1000},
        {{400000}, 0.5, UINT32_MAX},  // beyond the last bound
    };
    for (const Case& c : cases) {
        LatencyHistogram::Counts counts{};
        for (double ms : c.samples) ++counts[LatencyHistogram::bucketOf(ms)];
        EXPECT_EQ(LatencyHistogram::quantileUpperBound(counts, c.q), c.expected) << c.q;
    }
}

TEST(ProxyStats, SummaryOfAKnownMix) {
    ProxyStats stats;
    ProxyStats::Snapshot empty = stats.snapshot();
    for (int i = 0; i < 3; ++i) stats.connectionAccepted();
    stats.connectionClosed();
    for (int i = 0; i < 4; ++i) stats.requestReceived(ClientRequestType::Telemetry);
    stats.requestReceived(ClientRequestType::DeploymentClient);
    stats.requestReceived(ClientRequestType::Unknown);  // not a header value: not counted
    stats.refused(RefusalReason::WrongToken);
    stats.refused(RefusalReason::NotLocal);
    stats.refused(RefusalReason::NotLocal);
    stats.outboundEnded(RequestOutcome::Complete, 100, 1000, HandshakeKind::Full, 3);
    stats.outboundEnded(RequestOutcome::Complete, 100, 1000, HandshakeKind::Resumed, 4);
    stats.outboundEnded(RequestOutcome::Complete, 100, 1000, HandshakeKind::Resumed, 15);
    stats.outboundEnded(RequestOutcome::ConnectFailed, 0, 0, HandshakeKind::None, 5000);

    ProxyStats::Snapshot now = stats.snapshot();
    EXPECT_TRUE(now.changedSince(empty));
    EXPECT_FALSE(now.changedSince(now));

    ProxyStats::ProcessFigures process{25, 1024, 9000};
    EXPECT_EQ(ProxyStats::summaryLine("summary", now, process),
              "summary connections_accepted=3 connections_open=2 requests=Deployment-Client:1,Telemetry:4 "
              "refused=not-local:2,wrong-token:1 outcomes=complete:3,connect-failed:1 bytes_to_destinations=300 "
              "bytes_to_daemon=3000 handshakes_resumed=2 handshakes_full=1 resumed_pct=66 total_ms_p50=5 "
              "total_ms_p90=5000 total_ms_p99=5000 fds=25/1024 rss_kib=9000");
    EXPECT_EQ(ProxyStats::summaryLine("final summary", empty, process),
              "final summary connections_accepted=0 connections_open=0 requests=- refused=- outcomes=- "
              "bytes_to_destinations=0 bytes_to_daemon=0 handshakes_resumed=0 handshakes_full=0 resumed_pct=- "
              "total_ms_p50=0 total_ms_p90=0 total_ms_p99=0 fds=25/1024 rss_kib=9000");

    ProxyStats::ProcessFigures self = ProxyStats::ProcessFigures::current();
    EXPECT_GT(self.descriptorsInUse, 2u);
    EXPECT_GE(self.descriptorLimit, self.descriptorsInUse);
    EXPECT_GT(self.rssKiB, 0u);
}

}  // namespace
}  // namespace morvex
