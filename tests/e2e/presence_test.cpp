// SPDX-License-Identifier: MIT
// Presence as the main window's agent answers it, against SIPp watchers on 127.0.0.1: the 202 and the
// "open" document, the default expiry, the final NOTIFYs of Disconnect, and refused event packages.
#include "support/Hub.h"
#include "support/Scenarios.h"
#include "support/Sipp.h"

#include <QXmlStreamReader>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

struct Document {
    bool wellFormed = false;
    std::string entity;
    std::vector<std::string> tupleIds;
    std::string basic;
};

Document read(const std::string& xml) {
    Document document;
    QXmlStreamReader reader(QByteArray::fromStdString(xml));
    while (!reader.atEnd()) {
        reader.readNext();
        if (!reader.isStartElement())
            continue;
        if (reader.name() == QLatin1String("presence"))
            document.entity = reader.attributes().value("entity").toString().toStdString();
        else if (reader.name() == QLatin1String("tuple"))
            document.tupleIds.push_back(reader.attributes().value("id").toString().toStdString());
        else if (reader.name() == QLatin1String("basic"))
            document.basic = reader.readElementText().toStdString();
    }
    document.wellFormed = !reader.hasError();
    return document;
}

class PresenceTest : public ::testing::TestWithParam<sip::TransportType> {
protected:
    bool tcp() const { return GetParam() == sip::TCP; }

    std::unique_ptr<test::Hub> hub() {
        auto hub = std::make_unique<test::Hub>(
            test::Hub::Settings{.protocol = tcp() ? 1 : 0, .signin = "Alice@Example.TEST"});
        hub->start();
        return hub;
    }

    std::unique_ptr<test::Sipp> watch(test::Hub& hub, const std::string& expires, bool waitsForTheEnd) {
        auto sipp = std::make_unique<test::Sipp>(
            test::Sipp::Options{.scenario = test::watcherScenario(expires, waitsForTheEnd, "Alice"),
                                .tcp = tcp(),
                                .remote = hub.address()});
        sipp->start();
        return sipp;
    }
};

TEST_P(PresenceTest, SubscriptionGetsItsExpiryAndAnOpenDocumentAboutTheUser) {
    auto alice = hub();
    auto watcher = watch(*alice, "3600", false);
    ASSERT_TRUE(alice->waitUntil([&] { return watcher->wait(0ms); }));
    EXPECT_EQ(0, watcher->exitCode()) << watcher->errors();
    EXPECT_EQ("3600", watcher->responses(202).at(0).header("Expires"));
    const auto notify = watcher->requests("NOTIFY").at(0);
    EXPECT_EQ("application/pidf+xml", notify.header("Content-Type"));
    const Document document = read(notify.body());
    EXPECT_TRUE(document.wellFormed) << notify.body();
    EXPECT_EQ("sip:Alice@Example.TEST", document.entity);
    EXPECT_EQ(std::vector<std::string>{sip::Data("Alice@example.test").md5().str()}, document.tupleIds);
    EXPECT_EQ("open", document.basic);
}

TEST_P(PresenceTest, SubscriptionWithoutExpiresLastsTheDefault) {
    auto alice = hub();
    auto watcher = watch(*alice, "", false);
    ASSERT_TRUE(alice->waitUntil([&] { return watcher->wait(0ms); }));
    EXPECT_EQ(0, watcher->exitCode()) << watcher->errors();
    EXPECT_EQ("1800", watcher->responses(202).at(0).header("Expires"));
}

TEST_P(PresenceTest, DisconnectEndsEverySubscriptionAndLaterOnesAreStillAnswered) {
    auto alice = hub();
    auto first = watch(*alice, "600", true);
    auto second = watch(*alice, "600", true);
    ASSERT_TRUE(alice->waitUntil(
        [&] { return first->requests("NOTIFY").size() == 1 && second->requests("NOTIFY").size() == 1; }));
    alice->dialog().Disconnect();
    EXPECT_EQ("Disconnected", alice->status());
    ASSERT_TRUE(alice->waitUntil([&] { return first->wait(0ms) && second->wait(0ms); }));
    std::vector<std::string> ids;
    for (const test::Sipp* watcher : {first.get(), second.get()}) {
        EXPECT_EQ(0, watcher->exitCode()) << watcher->errors();
        const auto notifies = watcher->requests("NOTIFY");
        ASSERT_EQ(2u, notifies.size());
        EXPECT_EQ("terminated;reason=deactivated", notifies[1].header("Subscription-State"));
        EXPECT_EQ("", notifies[1].body());
        ids.push_back(read(notifies[0].body()).tupleIds.at(0));
    }
    EXPECT_EQ(ids[0], ids[1]);

    auto later = watch(*alice, "600", false);
    ASSERT_TRUE(alice->waitUntil([&] { return later->wait(0ms); }));
    EXPECT_EQ(0, later->exitCode()) << later->errors();
    EXPECT_EQ("open", read(later->requests("NOTIFY").at(0).body()).basic);
}

TEST_P(PresenceTest, OtherEventPackagesAreRefused) {
    auto alice = hub();
    test::Sipp watcher(
        {.scenario = test::requestScenario("SUBSCRIBE", "Event: dialog\nExpires: 600\n", "", 489, "Alice"),
         .tcp = tcp(),
         .remote = alice->address()});
    watcher.start();
    ASSERT_TRUE(alice->waitUntil([&] { return watcher.wait(0ms); }));
    EXPECT_EQ(0, watcher.exitCode()) << watcher.errors();
}

INSTANTIATE_TEST_SUITE_P(Transports, PresenceTest, ::testing::Values(sip::UDP, sip::TCP),
                         [](const auto& info) { return info.param == sip::TCP ? "TCP" : "UDP"; });

}  // namespace
