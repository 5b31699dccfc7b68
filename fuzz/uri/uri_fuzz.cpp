// SPDX-License-Identifier: MIT
// An address as the user types it or a setting holds it: the Uri and NameAddr readers. What they accept
// reads back as itself, and what they render never carries a control character into a header.
#include "Require.h"
#include "sip/ParseException.h"
#include "sip/PeerGuards.h"
#include "sip/Uri.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

bool hasControls(const std::string& text) {
    for (unsigned char c : text)
        if (c < ' ' || c == 0x7f)
            return true;
    return false;
}

void checkUri(const sip::Data& text) {
    sip::Uri uri;
    try {
        uri = sip::Uri(text);
    } catch (const sip::ParseException&) {
        return;
    }
    FUZZ_REQUIRE(!uri.empty());
    FUZZ_REQUIRE(uri.scheme() == sip::Data("sip") || uri.scheme() == sip::Data("sips"));
    FUZZ_REQUIRE(uri.port() >= 0 && uri.port() <= 65535);
    FUZZ_REQUIRE(!hasControls(uri.toString().str()));
    if (uri.toString().size() + 2 > sip::guard::kMaxAddressBytes)
        return;
    try {
        const sip::Uri again(uri.toString());
        FUZZ_REQUIRE(again == uri);
        FUZZ_REQUIRE(again.user() == uri.user());
        FUZZ_REQUIRE(again.host() == uri.host());
        FUZZ_REQUIRE(again.port() == uri.port());
        FUZZ_REQUIRE(again.getAor() == uri.getAor());
        const sip::NameAddr bracketed(sip::NameAddr(uri).toString());
        FUZZ_REQUIRE(bracketed.uri() == uri);
    } catch (const sip::ParseException& e) {
        std::fprintf(stderr, "an accepted URI does not read back: %s\n", e.what());
        std::abort();
    }
}

void checkNameAddr(const sip::Data& text) {
    sip::NameAddr address;
    try {
        address = sip::NameAddr(text);
    } catch (const sip::ParseException&) {
        return;
    }
    const sip::Data rendered = address.toString();
    FUZZ_REQUIRE(!hasControls(rendered.str()));
    // Quoting lengthens the text; beyond the reader's bound it is refused, as it should be.
    if (rendered.size() > sip::guard::kMaxAddressBytes)
        return;
    try {
        const sip::NameAddr again(rendered);
        FUZZ_REQUIRE(again.uri() == address.uri());
        if (!hasControls(address.displayName().str()))
            FUZZ_REQUIRE(again.displayName() == address.displayName());
        FUZZ_REQUIRE(again.toString() == rendered);
    } catch (const sip::ParseException& e) {
        std::fprintf(stderr, "a rendered address does not read back: %s\n", e.what());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const sip::Data text(reinterpret_cast<const char*>(data), size);
    checkUri(text);
    checkNameAddr(text);
    // A display name the user typed, put in front of a fixed address as the agent does with its own.
    sip::NameAddr own(sip::Uri(sip::Data("sip:user@example.test")));
    own.displayName() = text;
    const sip::Data rendered = own.toString();
    FUZZ_REQUIRE(!hasControls(rendered.str()));
    if (rendered.size() > sip::guard::kMaxAddressBytes)
        return 0;
    try {
        FUZZ_REQUIRE(sip::NameAddr(rendered).uri() == own.uri());
    } catch (const sip::ParseException& e) {
        std::fprintf(stderr, "the own address with this display name does not read back: %s\n", e.what());
        std::abort();
    }
    return 0;
}
