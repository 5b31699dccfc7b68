// SPDX-License-Identifier: MIT
// Every dialog follows its route set (RFC 3261 12.2.1.1, loose routing 16.12), against SIPp on
// 127.0.0.1 over UDP and TCP. One SIPp, "proxy", record-routes the dialog through itself and plays the
// far end's part too; the other, "bob", is where the dialog's remote target (the Contact) points. The
// in-dialog requests of the agent must reach the proxy, addressed to bob's Contact, with the
// Record-Route as their Route; bob, reached only through the proxy, must see none of them.
//
// The INVITE leaves for the outbound proxy when there is one, with the proxy as its Route; the dialog
// that the 200 sets up no longer goes there unless the proxy record-routed it (session_test.cpp has the
// proxy that does not).
#include "support/Scenarios.h"
#include "support/Sipp.h"
#include "support/TestAgent.h"

#include "agent/TerminateSubscriptionFunctor.h"
#include "sip/Contents.h"
#include "sip/Pidf.h"
#include "sip/SdpContents.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const char* const kPeerSdp =
    "v=0\r\no=- 7 7 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
    "m=message 5060 sip bob@127.0.0.1\r\n";

sip::SdpContents messageOffer() {
    sip::SdpContents offer;
    offer.session().origin().address = "127.0.0.1";
    offer.session().name() = "session";
    offer.session().connection().address = "127.0.0.1";
    offer.session().addTime({0, 0});
    sip::SdpContents::Session::Medium medium("message", 5060, 0, "sip");
    medium.addFormat("alice@127.0.0.1");
    offer.session().addMedium(medium);
    return offer;
}

std::string scenario(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"routing\">\n" + body +
           "</scenario>\n";
}

std::string answer(const std::string& status, const std::string& extra = "", const std::string& body = "") {
    return "  <send><![CDATA[\nSIP/2.0 " + status +
           "\n[last_Via:]\n[last_From:]\n[last_To:];tag=[pid]rr[call_number]\n[last_Call-ID:]\n"
           "[last_CSeq:]\n" +
           extra + "Content-Length: [len]\n\n" + body + "]]></send>\n";
}

// A request the proxy sends on in a dialog the peer opened: to the agent's Contact, in the dialog.
std::string inDialogRequest(const std::string& method, int cseq, const std::string& extra = "",
                            const std::string& body = "") {
    return "  <send><![CDATA[\n" + method +
           " [next_url] SIP/2.0\n"
           "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
           "From: \"Peer\" <sip:peer@[local_ip]:[local_port]>;tag=[pid]p[call_number]\n"
           "To: <sip:alice@[remote_ip]:[remote_port]>[peer_tag_param]\nCall-ID: [call_id]\nCSeq: " +
           std::to_string(cseq) + " " + method + "\nMax-Forwards: 70\n" + extra +
           "Content-Length: [len]\n\n" + body + "]]></send>\n";
}

std::string requestUri(const test::TracedMessage& request) {
    const std::string line = request.startLine();
    const auto begin = line.find(' ') + 1;
    return line.substr(begin, line.rfind(' ') - begin);
}

class RoutingTest : public ::testing::TestWithParam<sip::TransportType> {
protected:
    bool tcp() const { return GetParam() == sip::TCP; }
    std::string transport() const { return tcp() ? ";transport=tcp" : ""; }

    // The proxy's own address as a loose route, as it puts it into Record-Route.
    std::string proxyRoute() const {
        return "<sip:127.0.0.1:" + std::to_string(m_proxyPort) + transport() + ";lr>";
    }
    std::string bobContact(const std::string& user) const {
        return "sip:" + user + "@127.0.0.1:" + std::to_string(m_bobPort) + transport();
    }

    // Bob sees nothing of the dialog when it is routed right; whatever reaches him is recorded.
    std::unique_ptr<test::Sipp> startBob() {
        auto bob = std::make_unique<test::Sipp>(test::Sipp::Options{
            .scenario = scenario("  <recv request=\"ACK\"/>\n  <recv request=\"MESSAGE\"/>\n" +
                                 answer("200 OK") + "  <recv request=\"BYE\"/>\n" + answer("200 OK")),
            .port = m_bobPort,
            .tcp = tcp()});
        bob->start();
        return bob;
    }

    // `calls`: the requests outside a dialog it takes, each a call of its own.
    std::unique_ptr<test::Sipp> startProxy(const std::string& body, int calls = 1) {
        auto proxy = std::make_unique<test::Sipp>(test::Sipp::Options{
            .scenario = scenario(body), .port = m_proxyPort, .tcp = tcp(), .calls = calls});
        proxy->start();
        return proxy;
    }

    std::unique_ptr<test::TestAgent> agent() {
        auto agent = std::make_unique<test::TestAgent>(GetParam());
        agent->setIdentity("sip:alice@127.0.0.1", "secret");
        agent->connected = [](sip::ClientInviteSessionHandle handle, const sip::SipMessage&) {
            handle->message(sip::PlainContents("one text"));
        };
        agent->messageOutcome = [](sip::InviteSessionHandle handle, const sip::SipMessage&) {
            handle->end();
        };
        return agent;
    }

    // Each request is addressed to bob's Contact and carries the proxy as its only Route.
    void expectRoutedToBob(const std::vector<test::TracedMessage>& requests, const std::string& user) {
        for (const test::TracedMessage& request : requests) {
            SCOPED_TRACE(request.startLine());
            EXPECT_EQ(bobContact(user), requestUri(request));
            EXPECT_EQ(std::vector<std::string>{proxyRoute()}, request.headers("Route"));
        }
    }

    // Both picked before either SIPp starts: the proxy's scenarios name bob's port.
    int m_bobPort = test::freePort();
    int m_proxyPort = [this] {
        int port = test::freePort();
        while (port == m_bobPort)
            port = test::freePort();
        return port;
    }();
};

// The proxy that takes the agent's session: record-routes it, gives bob's Contact, then stays on the path
// of the ACK, the MESSAGE and the BYE.
//
//   agent              proxy                bob
//     | INVITE           |                   |
//     |----------------->|                   |
//     |  200 (Record-Route: proxy, Contact: bob)
//     |<-----------------|                   |
//     | ACK, MESSAGE, BYE to bob, Route: proxy
//     |----------------->|    (never seen)   |
//     |       200s       |                   |
//     |<-----------------|                   |
std::string recordRoutingPeer(const std::string& route, const std::string& contact) {
    return "  <recv request=\"INVITE\"/>\n" +
           answer("200 OK",
                  "Record-Route: " + route + "\nContact: <" + contact + ">\nContent-Type: application/sdp\n",
                  kPeerSdp) +
           "  <recv request=\"ACK\"/>\n  <recv request=\"MESSAGE\"/>\n" + answer("200 OK") +
           "  <recv request=\"BYE\"/>\n" + answer("200 OK");
}

TEST_P(RoutingTest, SessionThroughARecordRoutingOutboundProxyStaysOnItsRoute) {
    auto bob = startBob();
    auto proxy = startProxy(recordRoutingPeer(proxyRoute(), bobContact("bob")));
    auto alice = agent();
    alice->setOutboundProxy("sip:127.0.0.1:" + std::to_string(m_proxyPort) + transport());
    alice->dum.send(alice->dum.makeInviteSession(sip::NameAddr(sip::Uri(sip::Data("sip:bob@example.test"))),
                                                 messageOffer()));
    ASSERT_TRUE(alice->pumpUntil([&] { return alice->count("session.onTerminated") > 0; }));
    EXPECT_EQ((std::vector<std::string>{"client.onNewSession 200 OK", "onAnswer 200 OK",
                                        "client.onConnected 200 OK", "session.onMessageSuccess 200 OK",
                                        "session.onTerminated 3"}),
              alice->callbacks());
    EXPECT_TRUE(proxy->wait(5s));
    EXPECT_EQ(0, proxy->exitCode()) << proxy->errors();
    EXPECT_EQ((std::vector<std::string>{"INVITE", "ACK", "MESSAGE", "BYE"}), proxy->methods());
    EXPECT_EQ(std::vector<std::string>{}, bob->methods());

    // The INVITE names the recipient and has the outbound proxy as its pre-loaded route.
    const auto requests = proxy->requests();
    EXPECT_EQ("INVITE sip:bob@example.test SIP/2.0", requests[0].startLine());
    EXPECT_EQ(std::vector<std::string>{proxyRoute()}, requests[0].headers("Route"));
    expectRoutedToBob({requests.begin() + 1, requests.end()}, "bob");
    EXPECT_EQ(1u, proxy->requests("MESSAGE").size());
}

// The outbound proxy as the settings give it ("sip:" and the server's host and port) becomes the INVITE's
// one Route: a loose route, naming TCP when the transport is TCP, parameters of its own kept and never
// doubled. The pager MESSAGE that follows the 488 is outside any dialog: it goes to the same proxy,
// without a Route.
TEST_P(RoutingTest, OutboundProxyIsTheInvitesOneLooseRouteAndPagerMessagesGoThereToo) {
    const std::string proxy = "sip:127.0.0.1:" + std::to_string(m_proxyPort);
    struct Case {
        std::string configured;
        std::string route;
    };
    std::vector<Case> cases = {{proxy, "<" + proxy + transport() + ";lr>"},
                               {proxy + ";lr", "<" + proxy + ";lr" + transport() + ">"}};
    if (tcp())
        cases.push_back({proxy + ";transport=TCP", "<" + proxy + ";transport=TCP;lr>"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.configured);
        auto refusing = startProxy(
            "  <recv request=\"INVITE\" optional=\"true\" next=\"invite\"/>\n"
            "  <recv request=\"MESSAGE\"/>\n" +
                answer("200 OK") + "  <nop next=\"end\"/>\n  <label id=\"invite\"/>\n" +
                answer("488 Not Acceptable Here") + "  <recv request=\"ACK\"/>\n  <label id=\"end\"/>\n",
            2);
        auto alice = agent();
        alice->setOutboundProxy(c.configured);
        const sip::NameAddr bob(sip::Uri(sip::Data("sip:bob@example.test")));
        alice->dum.send(alice->dum.makeInviteSession(bob, messageOffer()));
        ASSERT_TRUE(alice->pumpUntil([&] { return alice->count("session.onTerminated") > 0; }));
        alice->dum.makePagerMessage(bob)->page(std::make_unique<sip::PlainContents>(sip::Data("paged")));
        ASSERT_TRUE(alice->pumpUntil([&] { return alice->count("pager.") > 0; }));
        EXPECT_EQ(std::vector<std::string>{"pager.onSuccess 200 OK"}, alice->callbacks("pager."));
        const auto invites = refusing->requests("INVITE");
        ASSERT_EQ(1u, invites.size());
        EXPECT_EQ(std::vector<std::string>{c.route}, invites[0].headers("Route"));
        const auto pages = refusing->requests("MESSAGE");
        ASSERT_EQ(1u, pages.size());
        EXPECT_EQ("MESSAGE sip:bob@example.test SIP/2.0", pages[0].startLine());
        EXPECT_EQ(std::vector<std::string>{}, pages[0].headers("Route"));
    }
}

// Without an outbound proxy the INVITE goes to the recipient itself, with no Route; the dialog still
// follows the Record-Route the peer put into its 200.
TEST_P(RoutingTest, SessionWithARecordRoutingPeerAndNoOutboundProxyStaysOnItsRoute) {
    auto bob = startBob();
    auto proxy = startProxy(recordRoutingPeer(proxyRoute(), bobContact("bob")));
    auto alice = agent();
    const std::string target = "sip:bob@127.0.0.1:" + std::to_string(m_proxyPort) + transport();
    alice->dum.send(alice->dum.makeInviteSession(sip::NameAddr(sip::Uri(sip::Data(target))), messageOffer()));
    ASSERT_TRUE(alice->pumpUntil([&] { return alice->count("session.onTerminated") > 0; }));
    EXPECT_EQ(1u, alice->count("session.onMessageSuccess 200"));
    EXPECT_TRUE(proxy->wait(5s));
    EXPECT_EQ(0, proxy->exitCode()) << proxy->errors();
    EXPECT_EQ((std::vector<std::string>{"INVITE", "ACK", "MESSAGE", "BYE"}), proxy->methods());
    EXPECT_EQ(std::vector<std::string>{}, bob->methods());
    const auto requests = proxy->requests();
    EXPECT_EQ(std::vector<std::string>{}, requests[0].headers("Route"));
    expectRoutedToBob({requests.begin() + 1, requests.end()}, "bob");
}

// A session the peer opens through a record-routing proxy: the agent's 200 goes back the way the INVITE
// came, and its BYE after the MESSAGE takes the route the INVITE recorded.
//
//   proxy (for the peer)        agent
//     | INVITE (Record-Route: proxy, Contact: bob)
//     |------------------------>|
//     |    200 (Record-Route)   |
//     |<------------------------|
//     | ACK, MESSAGE            |
//     |------------------------>|
//     |    200                  |
//     |<------------------------|
//     |    BYE to bob, Route: proxy
//     |<------------------------|
//     | 200                     |
//     |------------------------>|
TEST_P(RoutingTest, SessionAPeerOpensThroughARecordRoutingProxyEndsOnItsRoute) {
    auto bob = startBob();
    auto alice = agent();
    alice->newServerSession = [](sip::ServerInviteSessionHandle handle, const sip::SipMessage& invite) {
        handle->provideAnswer(*invite.getContents());
        handle->accept(200);
    };
    alice->inDialogMessage = [](sip::InviteSessionHandle handle, const sip::SipMessage&) {
        handle->acceptNIT(200);
        handle->end();
    };
    auto proxy = std::make_unique<test::Sipp>(test::Sipp::Options{
        .scenario = scenario("  <send><![CDATA[\nINVITE sip:alice@[remote_ip]:[remote_port] SIP/2.0\n"
                             "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
                             "From: \"Peer\" <sip:peer@[local_ip]:[local_port]>;tag=[pid]p[call_number]\n"
                             "To: <sip:alice@[remote_ip]:[remote_port]>\nCall-ID: [call_id]\nCSeq: 1 INVITE\n"
                             "Record-Route: " +
                             proxyRoute() + "\nContact: <" + bobContact("peer") +
                             ">\nMax-Forwards: 70\n"
                             "Content-Type: application/sdp\nContent-Length: [len]\n\n" +
                             kPeerSdp +
                             "]]></send>\n"
                             "  <recv response=\"100\" optional=\"true\"/>\n"
                             "  <recv response=\"200\" rrs=\"true\"/>\n" +
                             inDialogRequest("ACK", 1) +
                             inDialogRequest("MESSAGE", 2, "Content-Type: text/plain\n", "hi") +
                             "  <recv response=\"200\"/>\n  <recv request=\"BYE\"/>\n" + test::okReply()),
        .port = m_proxyPort,
        .tcp = tcp(),
        .remote = alice->address()});
    proxy->start();
    ASSERT_TRUE(alice->pumpUntil([&] { return proxy->wait(0ms); }, 15s));
    EXPECT_EQ(0, proxy->exitCode()) << proxy->errors();
    alice->pumpUntil([&] { return alice->count("session.onTerminated") > 0; }, 2s);
    EXPECT_EQ(1u, alice->count("session.onTerminated 3"));
    EXPECT_EQ(std::vector<std::string>{}, bob->methods());

    const auto ok = proxy->responses(200).at(0);
    EXPECT_EQ(std::vector<std::string>{proxyRoute()}, ok.headers("Record-Route"));
    const auto byes = proxy->requests("BYE");
    ASSERT_EQ(1u, byes.size());
    expectRoutedToBob(byes, "peer");
}

// A presence subscription through a record-routing proxy: the first NOTIFY and the final one of
// Disconnect take the route the SUBSCRIBE recorded.
//
//   proxy (for the watcher)     agent
//     | SUBSCRIBE (Record-Route: proxy, Contact: bob)
//     |------------------------>|
//     |    202                  |
//     |<------------------------|
//     |    NOTIFY to bob, Route: proxy
//     |<------------------------|
//     | 200                     |
//     |------------------------>|
//     |    NOTIFY terminated, the same way
//     |<------------------------|
//     | 200                     |
//     |------------------------>|
TEST_P(RoutingTest, SubscriptionThroughARecordRoutingProxyIsNotifiedOnItsRoute) {
    auto bob = startBob();
    auto alice = agent();
    alice->newSubscription = [&](sip::ServerSubscriptionHandle handle, const sip::SipMessage&) {
        handle->send(handle->accept(202));
        sip::Pidf document;
        document.setEntity(alice->aor.uri());
        document.setSimpleId(alice->aor.uri().getAor().md5());
        document.setSimpleStatus(true);
        handle->send(handle->update(&document));
    };
    auto proxy = std::make_unique<test::Sipp>(test::Sipp::Options{
        .scenario = scenario(
            "  <send><![CDATA[\nSUBSCRIBE sip:alice@[remote_ip]:[remote_port] SIP/2.0\n"
            "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
            "From: <sip:watcher@[local_ip]:[local_port]>;tag=[pid]w[call_number]\n"
            "To: <sip:alice@[remote_ip]:[remote_port]>\nCall-ID: [call_id]\nCSeq: 1 SUBSCRIBE\n"
            "Record-Route: " +
            proxyRoute() + "\nContact: <" + bobContact("watcher") +
            ">\nMax-Forwards: 70\n"
            "Event: presence\nAccept: application/pidf+xml\nExpires: 600\nContent-Length: 0\n\n]]></send>\n"
            "  <recv response=\"202\"/>\n  <recv request=\"NOTIFY\"/>\n" +
            test::okReply() + "  <recv request=\"NOTIFY\"/>\n" + test::okReply()),
        .port = m_proxyPort,
        .tcp = tcp(),
        .remote = alice->address()});
    proxy->start();
    ASSERT_TRUE(alice->pumpUntil([&] { return proxy->requests("NOTIFY").size() == 1; }));
    TerminateSubscriptionFunctor terminate;
    alice->dum.applyToAllServerSubscriptions(&terminate);
    ASSERT_TRUE(alice->pumpUntil([&] { return proxy->wait(0ms); }));
    EXPECT_EQ(0, proxy->exitCode()) << proxy->errors();
    EXPECT_EQ(std::vector<std::string>{}, bob->methods());
    const auto notifies = proxy->requests("NOTIFY");
    ASSERT_EQ(2u, notifies.size());
    EXPECT_EQ("terminated;reason=deactivated", notifies[1].header("Subscription-State"));
    expectRoutedToBob(notifies, "watcher");
}

INSTANTIATE_TEST_SUITE_P(Transports, RoutingTest, ::testing::Values(sip::UDP, sip::TCP),
                         [](const auto& info) { return info.param == sip::TCP ? "TCP" : "UDP"; });

}  // namespace
