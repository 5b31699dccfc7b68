// SPDX-License-Identifier: MIT
// The SIP layer's value types on their own, no network: digests, addresses, body types, the message
// offer, the presence document and the profile's supported methods, body types and credentials.
#include "sip/Contents.h"
#include "sip/Data.h"
#include "sip/MasterProfile.h"
#include "sip/Mime.h"
#include "sip/ParseException.h"
#include "sip/PeerGuards.h"
#include "sip/Pidf.h"
#include "sip/SdpContents.h"
#include "sip/Tls.h"
#include "sip/Uri.h"

#include <QXmlStreamReader>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

using namespace sip;

namespace {

// The offer the agent sends to open a message session, built field by field as the agent builds it.
SdpContents messageOffer(const Data& address, const Data& aor) {
    SdpContents sdp;
    SdpContents::Session& session = sdp.session();
    session.version() = 0;
    session.origin().user = "-";
    session.origin().sessionId = 0;
    session.origin().version = 0;
    session.origin().addrType = SdpContents::IP4;
    session.origin().address = address;
    session.name() = "session";
    session.connection().addrType = SdpContents::IP4;
    session.connection().address = address;
    session.addTime({0, 0});
    SdpContents::Session::Medium medium("message", 5060, 0, "sip");
    medium.addFormat(aor);
    session.addMedium(medium);
    return sdp;
}

std::vector<std::string> methodsOf(const Data& allow) {
    std::vector<std::string> methods;
    std::istringstream in(allow.str());
    for (std::string method; std::getline(in, method, ',');) {
        method.erase(0, method.find_first_not_of(' '));
        methods.push_back(method);
    }
    return methods;
}

// What a PIDF reader sees in a document: its elements' texts and attributes by name, or an error.
struct ParsedPidf {
    QString error;
    QString presenceNamespace;
    QString entity;
    int tuples = 0;
    QString tupleId;
    QString basic;
    QString note;
};

ParsedPidf readPidf(const Data& body) {
    ParsedPidf parsed;
    QXmlStreamReader xml(QByteArray(body.data(), qsizetype(body.size())));
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == u"presence") {
            parsed.presenceNamespace = xml.namespaceUri().toString();
            parsed.entity = xml.attributes().value("entity").toString();
        } else if (xml.name() == u"tuple") {
            ++parsed.tuples;
            parsed.tupleId = xml.attributes().value("id").toString();
        } else if (xml.name() == u"basic") {
            parsed.basic = xml.readElementText();
        } else if (xml.name() == u"note") {
            parsed.note = xml.readElementText();
        }
    }
    if (xml.hasError())
        parsed.error = xml.errorString();
    return parsed;
}

}  // namespace

TEST(Md5, GivesTheKnownDigestsAsLowerCaseHex) {
    EXPECT_EQ(Data("").md5(), Data("d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_EQ(Data("abc").md5(), Data("900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_EQ(Data("message digest").md5(), Data("f96b697d7cb7938d525a2f31aaf161d0"));
}

TEST(Uri, ParsesItsPartsAndGivesTheAddressOfRecord) {
    const Uri plain(Data("sip:alice@example.test"));
    EXPECT_EQ(plain.scheme(), Data("sip"));
    EXPECT_EQ(plain.user(), Data("alice"));
    EXPECT_EQ(plain.host(), Data("example.test"));
    EXPECT_EQ(plain.port(), 0);
    EXPECT_EQ(plain.getAor(), Data("alice@example.test"));

    const Uri full(Data("sip:Alice@Example.TEST:5080;transport=tcp"));
    EXPECT_EQ(full.user(), Data("Alice"));
    EXPECT_EQ(full.port(), 5080);
    EXPECT_EQ(full.getAor(), Data("Alice@example.test:5080"));
    EXPECT_NE(full.toString().str().find("transport=tcp"), std::string::npos);

    EXPECT_EQ(Uri(Data("sips:bob@127.0.0.1")).scheme(), Data("sips"));

    const Uri six(Data("sip:alice@[2001:db8::1]:5080"));
    EXPECT_EQ(six.host(), Data("[2001:db8::1]"));
    EXPECT_EQ(six.port(), 5080);
    EXPECT_EQ(six.getAor(), Data("alice@[2001:db8::1]:5080"));
}

TEST(Uri, RejectsTypedTextsThatAreNotSipUris) {
    for (const char* text :
         {"", "sip:", "sip:alice@", "sip:a b@x", "http://x", "sip:alice@host:99999", "sip:alice@host:abc",
          "sip:alice@host:0", "alice@example.test", "sip:alice@ex ample", "sip:[2001:db8::1",
          "sip:[2001:db8::zz]", "sip:2001:db8::1", "sip:[1::2::3]:5060", "sip:[]"})
        EXPECT_THROW(Uri{Data(text)}, ParseException) << '"' << text << '"';
}

TEST(Uri, RejectsAngleBracketsThatWouldChangeTheAddressInAHeader) {
    // Put between the brackets of a To header, each of these would end the address early.
    for (const char* text : {"sip:x>@good.test", "sip:a<b>@good.test", "sip:bob@good.test;lr>junk"})
        EXPECT_THROW(Uri{Data(text)}, ParseException) << '"' << text << '"';
}

TEST(Uri, RefusesAPathThatWouldJoinTheHostName) {
    // sofia-sip prints sip:host.example.test/path back as sip:host.example.testpath, another host.
    for (const char* text :
         {"sip:host.example.test/path", "sip:alice@example.test/x;lr", "sip:a@b.test:5060/"})
        EXPECT_THROW(Uri{Data(text)}, ParseException) << '"' << text << '"';
}

TEST(Uri, SchemeIsReadWithoutRegardToCase) {
    EXPECT_EQ(Uri(Data("SIP:alice@example.test")).scheme(), Data("sip"));
    EXPECT_EQ(Uri(Data("Sips:alice@example.test")).scheme(), Data("sips"));
}

// RFC 6125: a wildcard is a whole left-most label standing for exactly one label; addresses compare as
// addresses however they are written.
TEST(CertificateName, WildcardsStandForOneWholeLabelAndAddressesCompareAsAddresses) {
    using sip::detail::certificateNameMatches;
    EXPECT_TRUE(certificateNameMatches("*.example.test", "sip.example.test"));
    EXPECT_TRUE(certificateNameMatches("*.Example.TEST", "SIP.example.test."));
    EXPECT_TRUE(certificateNameMatches("sip.example.test", "sip.example.test"));
    for (const char* host : {"example.test", "a.b.example.test", ".example.test"})
        EXPECT_FALSE(certificateNameMatches("*.example.test", host)) << host;
    EXPECT_FALSE(certificateNameMatches("*.test", "example.test"));
    EXPECT_FALSE(certificateNameMatches("s*.example.test", "sip.example.test"));
    EXPECT_FALSE(certificateNameMatches("*.example.test", "192.0.2.1"));
    EXPECT_TRUE(certificateNameMatches("2001:DB8:0:0:0:0:0:1", "[2001:db8::1]"));
    EXPECT_TRUE(certificateNameMatches("192.0.2.1", "192.0.2.1"));
    EXPECT_FALSE(certificateNameMatches("192.0.2.1", "192.0.2.10"));
    EXPECT_FALSE(certificateNameMatches("2001:db8::1", "192.0.2.1"));
}

TEST(NameAddr, ParsesDisplayNameAndUri) {
    const NameAddr desk(Data("\"Front desk\" <sip:desk@example.test>"));
    EXPECT_EQ(desk.displayName(), Data("Front desk"));
    EXPECT_EQ(desk.uri().getAor(), Data("desk@example.test"));

    const NameAddr bare(Data("sip:bob@example.test"));
    EXPECT_TRUE(bare.displayName().empty());
    EXPECT_EQ(bare.uri().user(), Data("bob"));

    const NameAddr escaped(Data(R"("Say \"hi\" \\ now" <sip:x@example.test>)"));
    EXPECT_EQ(escaped.displayName(), Data(R"(Say "hi" \ now)"));

    EXPECT_THROW(NameAddr{Data("")}, ParseException);
    EXPECT_THROW(NameAddr{Data("\"Web\" <http://example.test>")}, ParseException);
}

TEST(NameAddr, QuotesAndEscapesTheDisplayNameWhenRendered) {
    NameAddr address(Uri(Data("sip:x@example.test")));
    EXPECT_EQ(address.toString(), Data("<sip:x@example.test>"));

    address.displayName() = Data(R"(Say "hi" \ now)");
    EXPECT_EQ(address.toString(), Data(R"("Say \"hi\" \\ now" <sip:x@example.test>)"));
    EXPECT_EQ(NameAddr(address.toString()).displayName(), address.displayName());

    // Whatever a URI holds, the header text made from it reads back as the same address.
    for (const char* text : {"sip:Alice@Example.TEST:5080;transport=tcp", "sip:%22q%22@example.test",
                             "sip:o'neil&co@example.test;x=\"y\"", "sips:bob@[::1]:5061"}) {
        const NameAddr original(Uri{Data(text)});
        EXPECT_EQ(NameAddr(original.toString()).uri(), original.uri()) << text;
    }
}

TEST(NameAddr, ControlCharactersOfADisplayNameNeverReachTheHeaderText) {
    // The agent's own display name comes from the settings, which a user may edit by hand.
    NameAddr own(Uri(Data("sip:alice@example.test")));
    own.displayName() = Data("Alice\r\nContact: <sip:evil@example.test>\x01\x7f");
    const Data header = own.toString();
    EXPECT_EQ(header.str().find_first_of("\r\n\x01\x7f"), std::string::npos) << header;
    const NameAddr reread(header);
    EXPECT_EQ(reread.uri(), own.uri());
    EXPECT_EQ(reread.displayName(), Data("Alice  Contact: <sip:evil@example.test>  "));

    // A quoted pair may carry a control character; the name read holds a blank instead.
    EXPECT_EQ(NameAddr(Data("\"tab\\\tname\" <sip:x@example.test>")).displayName(), Data("tab name"));
}

TEST(Mime, ParsesIgnoringParametersBlanksAndLetterCase) {
    EXPECT_EQ(Mime::parse(Data("Text/Plain; charset=UTF-8")), Mime("text", "plain"));
    EXPECT_EQ(Mime::parse(Data("  application/SDP  ")), SdpContents::getStaticType());
    EXPECT_EQ(Mime::parse(Data("application / pidf+xml ;q=1")), Pidf::getStaticType());
    EXPECT_FALSE(Mime::parse(Data("text/plain")) == Mime("text", "html"));
    EXPECT_FALSE(Mime::parse(Data("text/plain")) == Mime("application", "plain"));
    for (const char* malformed : {"", "text", "text/", "/plain", " ; text/plain"})
        EXPECT_TRUE(Mime::parse(Data(malformed)).empty()) << '"' << malformed << '"';
}

TEST(SdpContents, RendersTheMessageOfferLineByLine) {
    const SdpContents offer = messageOffer("192.0.2.7", "alice@example.test");
    EXPECT_EQ(offer.getBodyData(), Data("v=0\r\n"
                                        "o=- 0 0 IN IP4 192.0.2.7\r\n"
                                        "s=session\r\n"
                                        "c=IN IP4 192.0.2.7\r\n"
                                        "t=0 0\r\n"
                                        "m=message 5060 sip alice@example.test\r\n"));
    EXPECT_EQ(offer.getType(), Mime("application", "sdp"));
}

TEST(SdpContents, ParsedBodyComesBackByteForByte) {
    // Bare LF endings and an attribute the layer does not model: an answer that echoes the offer must
    // repeat it unchanged.
    const Data received(
        "v=0\n"
        "o=peer 2890844526 2890844527 IN IP4 198.51.100.1\n"
        "s=-\n"
        "c=IN IP4 198.51.100.1\n"
        "t=0 0\n"
        "m=message 7394 sip bob@example.test\n"
        "a=accept-types:text/plain\n");
    const auto parsed = SdpContents::parse(received);
    ASSERT_NE(parsed, nullptr);
    EXPECT_EQ(parsed->getBodyData(), received);
    EXPECT_EQ(parsed->clone()->getBodyData(), received);
}

TEST(SdpContents, KeepsTheExactCaseOfMediaNamesAndEveryMediaLine) {
    const std::string head =
        "v=0\r\no=- 0 0 IN IP4 192.0.2.1\r\ns=session\r\nc=IN IP4 192.0.2.1\r\nt=0 0\r\n";

    const auto upper = SdpContents::parse(Data(head + "m=MESSAGE 5060 sip a@example.test\r\n"));
    ASSERT_NE(upper, nullptr);
    ASSERT_EQ(upper->session().media().size(), 1u);
    EXPECT_EQ(upper->session().media().front().name(), Data("MESSAGE"));
    EXPECT_NE(upper->session().media().front().name(), Data("message"));

    const auto two =
        SdpContents::parse(Data(head + "m=message 5060 sip a@example.test\r\nm=audio 49170 RTP/AVP 0\r\n"));
    ASSERT_NE(two, nullptr);
    ASSERT_EQ(two->session().media().size(), 2u);
    EXPECT_EQ(two->session().media().front().name(), Data("message"));
    EXPECT_EQ(two->session().media().back().name(), Data("audio"));
    EXPECT_EQ(two->session().media().back().port(), 49170u);
}

TEST(SdpContents, BodyThatIsNotASessionDescriptionGivesNothing) {
    for (const char* body :
         {"", "Hello there", "<?xml version=\"1.0\"?><presence/>", "m=message 5060 sip a@b\r\n"})
        EXPECT_EQ(SdpContents::parse(Data(body)), nullptr) << '"' << body << '"';
}

// Bodies a hostile peer sends: every one is refused before sofia-sip's SDP parser sees it. The parse runs in
// a child process with a bounded address space and an alarm, so that a body that slipped through to the
// parser's endless loop fails the test instead of taking the machine's memory.
TEST(SdpContents, BodiesOutsideTheGrammarNeverReachTheParser) {
    const std::string head = "v=0\r\no=- 0 0 IN IP4 192.0.2.1\r\ns=-\r\nc=IN IP4 192.0.2.1\r\nt=0 0\r\n";
    std::vector<std::string> hostile = {
        std::string("v=0\r\nm=message 5060 sip\xdd\x9d"
                    "ob@127.0.0.1\r\n")};
    // A non-token byte in each field of the m= line, and in the fields around it.
    for (const char* bad : {"\xdd\x9d", "\x01", "\x7f", "\t", "\"", "(", "@\xff", "\x80", "@@", "@:"}) {
        hostile.push_back(head + "m=message 5060 sip a" + bad + "b@example.test\r\n");
        hostile.push_back(head + "m=message 5060 sip a@example.test x" + bad + "\r\n");
        hostile.push_back(head + "m=mess" + bad + "age 5060 sip a@example.test\r\n");
        hostile.push_back(head + "m=message 50" + bad + "60 sip a@example.test\r\n");
        hostile.push_back(head + "m=message 5060 s" + bad + "ip a@example.test\r\n");
        hostile.push_back(head + "m=audio 49170 RTP/AVP 0" + bad + "8\r\n");
        hostile.push_back("v=0\r\nc=IN IP" + std::string(bad) + "4 192.0.2.1\r\n");
        // Addresses may hold any visible ASCII; a byte beyond it is refused.
        if (std::string_view(bad).find_first_not_of("\"(@:") != std::string_view::npos)
            hostile.push_back("v=0\r\no=- 0 0 IN IP4 192.0" + std::string(bad) + ".2.1\r\n");
        hostile.push_back(head + "a=rtp" + bad + "map:0 PCMU/8000\r\n");
    }
    hostile.push_back(head + "m=message 5060 sip  a@example.test\r\n");      // two blanks
    hostile.push_back(head + "m=message 5060 sip\r\n");                      // no format
    hostile.push_back(head + "m=message 5060 sip a@example.test\rm=x\r\n");  // a lone CR
    hostile.push_back(head + std::string("m=message 5060 sip a@example.test\0\r\n", 36));
    hostile.push_back(head + "x=unknown\r\n");
    hostile.push_back(head + "\r\nm=message 5060 sip a@example.test\r\n");  // a blank line inside
    hostile.push_back(head + std::string(guard::kMaxSdpBytes, 'a'));

    for (const std::string& body : hostile)
        EXPECT_FALSE(guard::isSdpGrammar(body)) << '"' << body << '"';

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
#ifndef __SANITIZE_ADDRESS__
        const rlimit memory{1024u << 20, 1024u << 20};
        setrlimit(RLIMIT_AS, &memory);
#endif
        alarm(10);
        int accepted = 0;
        for (const std::string& body : hostile)
            accepted += SdpContents::parse(Data(body)) != nullptr;
        _exit(accepted);
    }
    int status = 0;
    rusage usage{};
    ASSERT_EQ(wait4(child, &status, 0, &usage), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the parse was ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "bodies taken as session descriptions";
    EXPECT_LT(usage.ru_maxrss, 256 * 1024) << "kB of memory held while parsing";

    // What the grammar allows goes on to the parser: text fields take any byte but NUL, CR and LF.
    for (const std::string& body : std::vector<std::string>{
             head + "m=message 5060 sip a@example.test\r\n",
             head + "m=message 5060 sip a@example.test:5070\r\n",
             head + "m=message 5060/2 TCP/MSRP * x-y\r\n",
             "v=0\no=J\xc3\xa9r\xc3\xb4me 1 2 IN IP6 2001:db8::1\ns=R\xc3\xa9union \x7f\x01\nt=3034423619 "
             "3042462419\n"
             "r=604800 3600 0 90000\nz=2882844526 -1h 2898848070 0\nb=AS:64\na=recvonly\n"
             "m=audio 49170 RTP/AVP 0 8\na=rtpmap:0 PCMU/8000\n\r\n"})
        EXPECT_TRUE(guard::isSdpGrammar(body)) << '"' << body << '"';
}

TEST(Pidf, RendersOneTupleInThePidfNamespace) {
    Pidf open;
    open.setEntity(Uri(Data("sip:alice@example.test")));
    open.setSimpleId(Data("alice@example.test").md5());
    open.setSimpleStatus(true);
    const ParsedPidf parsed = readPidf(open.getBodyData());
    ASSERT_TRUE(parsed.error.isEmpty()) << parsed.error.toStdString();
    EXPECT_EQ(parsed.presenceNamespace, "urn:ietf:params:xml:ns:pidf");
    EXPECT_EQ(parsed.entity, "sip:alice@example.test");
    EXPECT_EQ(parsed.tuples, 1);
    EXPECT_EQ(parsed.tupleId, QString::fromStdString(Data("alice@example.test").md5().str()));
    EXPECT_EQ(parsed.basic, "open");
    EXPECT_EQ(open.getType(), Mime("application", "pidf+xml"));

    Pidf closed;
    closed.setEntity(Uri(Data("sip:alice@example.test")));
    closed.setSimpleId("t1");
    closed.setSimpleStatus(false);
    EXPECT_EQ(readPidf(closed.getBodyData()).basic, "closed");
}

TEST(Pidf, EscapesEveryValueItHolds) {
    const std::string markup = R"(<a b="c" d='e'>&amp;</a>)";
    Pidf document;
    document.setEntity(Uri(Data(R"(sip:"o'neil"&co@example.test)")));
    document.setSimpleId(Data(markup));
    document.setSimpleStatus(true, Data("Back at 5 & <soon>"));
    const ParsedPidf parsed = readPidf(document.getBodyData());
    ASSERT_TRUE(parsed.error.isEmpty()) << parsed.error.toStdString() << "\n" << document.getBodyData();
    EXPECT_EQ(parsed.entity, R"(sip:"o'neil"&co@example.test)");
    EXPECT_EQ(parsed.tupleId, QString::fromStdString(markup));
    EXPECT_EQ(parsed.note, "Back at 5 & <soon>");
    EXPECT_EQ(parsed.tuples, 1);
}

TEST(Pidf, StaysWellFormedWhateverBytesItsValuesHold) {
    // The entity is the user's sign-in name: bytes that are not UTF-8 and controls XML cannot carry
    // become U+FFFD; blanks a reader would fold survive as character references.
    Pidf document;
    document.setEntity(Uri(Data("sip:j\xe9r\xf4me@example.test")));
    document.setSimpleId(Data("id\x01\x1f"));
    document.setSimpleStatus(true,
                             Data("a\tb\r\nc \xed\xa0\x80 \xef\xbf\xbe \xc0\xaf \xf4\x90\x80\x80 \xe2\x82"));
    const ParsedPidf parsed = readPidf(document.getBodyData());
    ASSERT_TRUE(parsed.error.isEmpty()) << parsed.error.toStdString() << "\n" << document.getBodyData();
    EXPECT_EQ(parsed.entity, QString::fromUtf8("sip:j\ufffdr\ufffdme@example.test"));
    EXPECT_EQ(parsed.tupleId, QString::fromUtf8("id\ufffd\ufffd"));
    EXPECT_TRUE(parsed.note.startsWith("a\tb\r\nc ")) << parsed.note.toStdString();
    EXPECT_FALSE(parsed.note.contains(QChar(0xfffe)));
    EXPECT_EQ(parsed.tuples, 1);

    // Valid UTF-8 of characters XML allows goes in as it is.
    Pidf plain;
    plain.setSimpleId(Data("x"));
    plain.setSimpleStatus(true, Data("J\xc3\xa9r\xc3\xb4me \xf0\x9f\x93\x9e \x7f"));
    EXPECT_EQ(readPidf(plain.getBodyData()).note, QString::fromUtf8("J\u00e9r\u00f4me \U0001F4DE \x7f"));
}

TEST(MasterProfile, AllowListsEachSupportedMethodOnce) {
    MasterProfile profile;
    profile.addSupportedMethod(MESSAGE);
    profile.addSupportedMethod(SUBSCRIBE);
    profile.addSupportedMethod(MESSAGE);
    profile.addSupportedMethod(INVITE);
    std::vector<std::string> allowed = methodsOf(profile.getAllowedMethodsText());
    std::sort(allowed.begin(), allowed.end());
    EXPECT_EQ(allowed, (std::vector<std::string>{"ACK", "BYE", "CANCEL", "INVITE", "MESSAGE", "OPTIONS",
                                                 "SUBSCRIBE"}));
    EXPECT_TRUE(profile.isMethodSupported(SUBSCRIBE));
    EXPECT_FALSE(profile.isMethodSupported(REFER));
}

TEST(MasterProfile, BodyTypesAreSupportedPerMethodWithoutRegardToCase) {
    MasterProfile profile;
    EXPECT_TRUE(profile.isMimeTypeSupported(INVITE, Mime("application", "sdp")));
    profile.addSupportedMimeType(MESSAGE, Mime("text", "plain"));
    profile.addSupportedMimeType(MESSAGE, Mime("TEXT", "PLAIN"));
    profile.addSupportedMimeType(NOTIFY, Pidf::getStaticType());

    EXPECT_TRUE(profile.isMimeTypeSupported(MESSAGE, Mime("Text", "Plain")));
    EXPECT_FALSE(profile.isMimeTypeSupported(MESSAGE, Mime("application", "sdp")));
    EXPECT_FALSE(profile.isMimeTypeSupported(NOTIFY, Mime("text", "plain")));
    EXPECT_FALSE(profile.isMimeTypeSupported(INFO, Mime("text", "plain")));
    EXPECT_TRUE(profile.isMimeTypeSupported(NOTIFY, Mime::parse(Data("Application/PIDF+XML"))));
    EXPECT_EQ(profile.getSupportedMimeTypesText(MESSAGE), Data("text/plain"));
}

TEST(MasterProfile, DigestCredentialIsFoundByRealmOrElseTheOneSetLast) {
    MasterProfile profile;
    EXPECT_FALSE(profile.getDigestCredential("example.test").has_value());

    profile.setDigestCredential("example.test", "alice@example.test", "secret");
    const auto own = profile.getDigestCredential("example.test");
    ASSERT_TRUE(own.has_value());
    EXPECT_EQ(own->user, Data("alice@example.test"));
    EXPECT_EQ(own->password, Data("secret"));
    const auto other = profile.getDigestCredential("sip-proxy.example.net");
    ASSERT_TRUE(other.has_value());
    EXPECT_EQ(other->user, Data("alice@example.test"));

    profile.setDigestCredential("example.test", "alice@example.test", "changed");
    EXPECT_EQ(profile.getDigestCredential("example.test")->password, Data("changed"));
    profile.setDigestCredential("b.test", "bob@b.test", "bobs");
    EXPECT_EQ(profile.getDigestCredential("b.test")->user, Data("bob@b.test"));
    EXPECT_EQ(profile.getDigestCredential("example.test")->user, Data("alice@example.test"));
    // After a change of sign-in name, a realm nobody named is answered with the new credential.
    EXPECT_EQ(profile.getDigestCredential("sip-proxy.example.net")->user, Data("bob@b.test"));
}
