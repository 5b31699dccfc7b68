// SPDX-License-Identifier: MIT
// Requests and responses read from their bytes by sofia-sip's message parser, as a peer sends them, and
// what the handlers' view of them then says: status and reason, addresses, headers and the body.
#include "sip/SdpContents.h"
#include "sip/WireMessage.h"

#include <gtest/gtest.h>

#include <string>

using namespace sip;

namespace {

// A response with the headers every message needs and this status line.
std::string response(const std::string& statusLine) {
    return statusLine +
           "\r\nVia: SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bK1\r\n"
           "From: <sip:bob@example.test>;tag=1\r\nTo: <sip:alice@example.test>;tag=2\r\n"
           "Call-ID: c1@127.0.0.1\r\nCSeq: 1 MESSAGE\r\nContent-Length: 0\r\n\r\n";
}

// A MESSAGE from this From header value carrying this body.
std::string message(const std::string& from, const std::string& type, const std::string& body) {
    return "MESSAGE sip:bob@127.0.0.1:5070 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5080;branch=z9hG4bK2\r\n"
           "Max-Forwards: 70\r\nFrom: " +
           from + ";tag=49583\r\nTo: <sip:bob@127.0.0.1:5070>\r\nCall-ID: m1@127.0.0.1\r\n" +
           "CSeq: 7 MESSAGE\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

}  // namespace

TEST(WireMessage, RequestReadsAsTheHandlersSeeIt) {
    const auto request =
        parseWireMessage(message("\"Front desk\" <sip:desk@example.test>", "text/plain", "Hi"));
    ASSERT_TRUE(request.has_value());
    EXPECT_TRUE(request->isRequest());
    EXPECT_EQ(request->method(), Data("MESSAGE"));
    EXPECT_EQ(request->from().displayName(), Data("Front desk"));
    EXPECT_EQ(request->from().uri().getAor(), Data("desk@example.test"));
    EXPECT_EQ(request->header("call-id"), Data("m1@127.0.0.1"));
    EXPECT_EQ(request->header("CSeq"), Data("7 MESSAGE"));
    EXPECT_TRUE(request->header("Subject").empty());
    ASSERT_NE(request->getContents(), nullptr);
    EXPECT_EQ(request->getContents()->getBodyData(), Data("Hi"));

    const std::string sdp =
        "v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=message 5060 sip "
        "a@b.test\r\n";
    const auto offer = parseWireMessage(message("<sip:a@b.test>", "application/sdp", sdp));
    ASSERT_TRUE(offer.has_value());
    ASSERT_NE(dynamic_cast<const SdpContents*>(offer->getContents()), nullptr);
    EXPECT_EQ(offer->getContents()->getBodyData(), Data(sdp));
}

TEST(WireMessage, ResponseGivesItsStatusAndReasonAsReceived) {
    const auto refused = parseWireMessage(response("SIP/2.0 403 Not You, Not Here"));
    ASSERT_TRUE(refused.has_value());
    EXPECT_TRUE(refused->isResponse());
    EXPECT_EQ(refused->statusCode(), 403);
    EXPECT_EQ(refused->reasonPhrase(), Data("Not You, Not Here"));
    EXPECT_EQ(refused->method(), Data("MESSAGE"));
    for (const char* line : {"SIP/2.0 100 Trying", "SIP/2.0 699 Last"})
        EXPECT_TRUE(parseWireMessage(response(line)).has_value()) << line;
}

TEST(WireMessage, StatusCodesOutsideTheSipRangeAreRefused) {
    // sofia-sip reads any number below 2^31 as the code; a final response of 1000 or a 0 would reach the
    // handlers as a failure or a success they cannot tell apart from a real one.
    for (const char* line : {"SIP/2.0 0 Zero", "SIP/2.0 99 Low", "SIP/2.0 700 High", "SIP/2.0 1000 Big",
                             "SIP/2.0 2147483646 Huge", "SIP/2.0 -1 Negative"})
        EXPECT_FALSE(parseWireMessage(response(line)).has_value()) << line;
}

TEST(WireMessage, WhatTheStackWouldDropIsNoMessage) {
    EXPECT_FALSE(parseWireMessage("").has_value());
    EXPECT_FALSE(parseWireMessage("Hello there\r\n\r\n").has_value());
    // No Call-ID: the stack's sanity check drops it before any handler.
    EXPECT_FALSE(parseWireMessage("SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1;branch=z9hG4bK1\r\n"
                                  "From: <sip:a@b>;tag=1\r\nTo: <sip:c@d>\r\nCSeq: 1 MESSAGE\r\n\r\n")
                     .has_value());
}

TEST(WireMessage, HeaderOfBlanksReadsAsEmpty) {
    // A line that ends in LF alone leaves sofia-sip's text of the header with a lone CR after the colon.
    std::string text = message("<sip:a@b.test>", "text/plain", "x");
    text.replace(text.find("Call-ID: m1@127.0.0.1\r\n"), 23, "Call-ID:\nSubject: hi\r\n");
    const auto request = parseWireMessage(text);
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->header("Call-ID"), Data());
    EXPECT_EQ(request->header("Subject"), Data("hi"));
}

TEST(WireMessage, DisplayNameReachesTheHandlersWithoutControlCharacters) {
    // Quoted pairs may carry any byte; the display name is a title in a message box and could go back
    // out in a header, where a CR or LF would end the line.
    const auto request =
        parseWireMessage(message("\"Evil\\\x01Name\\\x0bX\" <sip:evil@example.test>", "text/plain", "x"));
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->from().displayName(), Data("Evil Name X"));

    const auto folded =
        parseWireMessage(message("\"Two\r\n lines\" <sip:x@example.test>", "text/plain", "x"));
    ASSERT_TRUE(folded.has_value());
    EXPECT_EQ(folded->from().displayName().str().find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(folded->from().uri().getAor(), Data("x@example.test"));
}
