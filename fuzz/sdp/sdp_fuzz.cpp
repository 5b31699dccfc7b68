// SPDX-License-Identifier: MIT
// A peer's session description: the grammar check, then the parse that sofia-sip's SDP reader does behind
// it. Only a body that passed the check may parse; a parsed one gives back its bytes unchanged and one
// medium for each m= line, read as written.
#include "Require.h"
#include "sip/PeerGuards.h"
#include "sip/SdpContents.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

std::size_t mediaLines(std::string_view body) {
    std::size_t count = 0;
    for (std::size_t start = 0; start < body.size();) {
        const std::size_t end = body.find('\n', start);
        if (body.substr(start, 2) == "m=")
            ++count;
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const bool grammar = sip::guard::isSdpGrammar(body);
    const auto sdp = sip::SdpContents::parse(sip::Data(body));
    if (!sdp)
        return 0;
    FUZZ_REQUIRE(grammar);
    FUZZ_REQUIRE(sdp->getBodyData().str() == body);
    const auto& media = sdp->session().media();
    FUZZ_REQUIRE(media.size() == mediaLines(body));
    for (const auto& medium : media) {
        FUZZ_REQUIRE(!medium.name().empty());
        FUZZ_REQUIRE(!medium.protocol().empty());
        FUZZ_REQUIRE(!medium.getFormats().empty());
        FUZZ_REQUIRE(body.find("m=" + medium.name().str() + " ") != std::string_view::npos);
    }
    return 0;
}
