// SPDX-License-Identifier: MIT
// The basic status a presence watch reads from a NOTIFY's PIDF document: the program's own document,
// the namespace-prefixed form other agents send, and documents that carry none.
#include "sip/PresenceWatch.h"

#include "sip/Pidf.h"

#include <gtest/gtest.h>

namespace {

TEST(PresenceDocument, ReadsTheBasicStatusOfTheProgramsOwnDocument) {
    sip::Pidf document;
    document.setEntity(sip::Uri(sip::Data("sip:alice@demo.test")));
    document.setSimpleId(sip::Data("a1"));
    document.setSimpleStatus(true);
    EXPECT_EQ("open", sip::PresenceWatch::basicStatus(document.getBodyData().str()));
    document.setSimpleStatus(false);
    EXPECT_EQ("closed", sip::PresenceWatch::basicStatus(document.getBodyData().str()));
}

TEST(PresenceDocument, ReadsPrefixedAndSpacedForms) {
    EXPECT_EQ("open", sip::PresenceWatch::basicStatus(
                          "<p:presence xmlns:p=\"urn:ietf:params:xml:ns:pidf\"><p:tuple id=\"t\"><p:status>"
                          "<p:basic>open</p:basic></p:status></p:tuple></p:presence>"));
    EXPECT_EQ("closed", sip::PresenceWatch::basicStatus("<status>\n  <basic >\n closed\n </basic></status>"));
}

TEST(PresenceDocument, NoBasicStatusReadsEmpty) {
    EXPECT_EQ("", sip::PresenceWatch::basicStatus(""));
    EXPECT_EQ("", sip::PresenceWatch::basicStatus("<presence><tuple id=\"t\"><note>open</note></tuple></presence>"));
    // An element whose name only ends in "basic" is not the status.
    EXPECT_EQ("", sip::PresenceWatch::basicStatus("<status><notbasic>open</notbasic></status>"));
}

}  // namespace
