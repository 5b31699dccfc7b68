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

const Mime& PlainContents::getStaticType() {
    static const Mime type("text", "plain");
    return type;
}

}  // namespace sip
