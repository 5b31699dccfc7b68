// SPDX-License-Identifier: MIT
#include "sip/Contents.h"

namespace sip {
namespace {

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

}  // namespace

Mime Mime::parse(const Data& text) {
    std::string value = text.str();
    value = value.substr(0, value.find(';'));
    const auto slash = value.find('/');
    if (slash == std::string::npos)
        return Mime();
    const std::string type = trimmed(value.substr(0, slash));
    const std::string subType = trimmed(value.substr(slash + 1));
    if (type.empty() || subType.empty())
        return Mime();
    return Mime(Data(type), Data(subType));
}

const Mime& CpimType() {
    static const Mime type("message", "cpim");
    return type;
}

std::optional<CpimMessage> UnwrapCpim(const Data& body) {
    const std::string& text = body.str();
    // The end of a block of header lines: an empty line, with CR LF or LF alone.
    auto blockEnd = [&text](std::size_t from, std::size_t& next) {
        for (std::size_t at = from; at < text.size(); ++at) {
            if (text[at] != '\n')
                continue;
            std::size_t after = at + 1;
            if (after < text.size() && text[after] == '\r')
                ++after;
            if (after < text.size() && text[after] == '\n') {
                next = after + 1;
                return at;
            }
        }
        return std::string::npos;
    };
    std::size_t mimeStart = 0, bodyStart = 0;
    if (blockEnd(0, mimeStart) == std::string::npos)
        return std::nullopt;
    const std::size_t mimeEnd = blockEnd(mimeStart, bodyStart);
    if (mimeEnd == std::string::npos)
        return std::nullopt;
    std::optional<CpimMessage> inner;
    std::size_t line = mimeStart;
    while (line < mimeEnd) {
        std::size_t end = text.find('\n', line);
        if (end == std::string::npos || end > mimeEnd)
            end = mimeEnd;
        std::string header = text.substr(line, end - line);
        if (!header.empty() && header.back() == '\r')
            header.pop_back();
        const std::size_t colon = header.find(':');
        if (colon != std::string::npos &&
            Data(trimmed(header.substr(0, colon))).lowercase() == "content-type") {
            const Mime type = Mime::parse(Data(header.substr(colon + 1)));
            if (type.empty())
                return std::nullopt;
            inner = CpimMessage{type, Data(text.substr(bodyStart))};
        }
        line = end + 1;
    }
    return inner;
}

const Mime& PlainContents::getStaticType() {
    static const Mime type("text", "plain");
    return type;
}

}  // namespace sip
