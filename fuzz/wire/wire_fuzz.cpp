// SPDX-License-Identifier: MIT
// A peer's whole request or response, read by sofia-sip's message parser and then through the views the
// handlers use: status and reason, the addresses and their display names, header() and the contents.
#include "Require.h"
#include "sip/ParseException.h"
#include "sip/PeerGuards.h"
#include "sip/WireMessage.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

bool hasControls(const sip::Data& text) {
    for (unsigned char c : text.str())
        if (c < ' ' || c == 0x7f)
            return true;
    return false;
}

// An address a handler is given: its display name fit for a title or a header, its URI one that reads
// back as itself, and the two together one that reads back as the same address.
void checkAddress(const sip::NameAddr& address) {
    FUZZ_REQUIRE(!hasControls(address.displayName()));
    if (address.uri().empty())
        return;
    const sip::Uri again(address.uri().toString());
    FUZZ_REQUIRE(again == address.uri());
    if (address.toString().size() > sip::guard::kMaxAddressBytes)
        return;
    const sip::NameAddr reread(address.toString());
    FUZZ_REQUIRE(reread.uri() == address.uri());
    FUZZ_REQUIRE(reread.displayName() == address.displayName());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto message = sip::parseWireMessage(bytes);
    if (!message)
        return 0;
    if (message->isResponse()) {
        FUZZ_REQUIRE(sip::guard::isStatusCode(message->statusCode()));
    } else {
        FUZZ_REQUIRE(!message->method().empty());
        FUZZ_REQUIRE(message->statusCode() == 0);
    }
    FUZZ_REQUIRE(!message->text().empty());
    try {
        checkAddress(message->from());
        checkAddress(message->to());
        for (const sip::NameAddr& contact : message->contacts())
            checkAddress(contact);
    } catch (const sip::ParseException& e) {
        std::fprintf(stderr, "an address of the view does not read back: %s\n", e.what());
        std::abort();
    }
    for (const char* name :
         {"Via", "From", "t", "Call-ID", "CSeq", "Content-Type", "Expires", "Event", "X-Absent"}) {
        // One header's value: never the start of the next line, never the blanks or CR around it.
        const std::string value = message->header(name).str();
        FUZZ_REQUIRE(value.find('\n') == std::string::npos);
        FUZZ_REQUIRE(value.empty() ||
                     (value.find_first_of(" \t\r") != 0 && value.find_last_of(" \t\r") != value.size() - 1));
    }
    if (const sip::Contents* contents = message->getContents()) {
        // A CPIM wrapper's contents are the message it wraps; any other body's are the body itself.
        const auto inner =
            message->contentType() == sip::CpimType() ? sip::UnwrapCpim(message->body()) : std::nullopt;
        const bool unwrapped = inner && !(inner->type == sip::CpimType());
        FUZZ_REQUIRE(contents->getBodyData() == (unwrapped ? inner->body : message->body()));
    } else {
        FUZZ_REQUIRE(message->body().empty());
    }
    return 0;
}
