// SPDX-License-Identifier: MIT
#include "sip/SipMessage.h"

#include <strings.h>

#include <sstream>

namespace sip {
namespace {

// The compact forms of the headers a peer may use for them.
const char* compactForm(std::string_view name) {
    static const std::pair<const char*, const char*> forms[] = {{"call-id", "i"},
                                                                {"contact", "m"},
                                                                {"content-encoding", "e"},
                                                                {"content-length", "l"},
                                                                {"content-type", "c"},
                                                                {"event", "o"},
                                                                {"from", "f"},
                                                                {"subject", "s"},
                                                                {"supported", "k"},
                                                                {"to", "t"},
                                                                {"via", "v"},
                                                                {"allow-events", "u"}};
    for (const auto& [full, compact] : forms)
        if (name.size() == std::char_traits<char>::length(full) &&
            strncasecmp(name.data(), full, name.size()) == 0)
            return compact;
    return nullptr;
}

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Without the blanks around it and the CR of its line end: a value of blanks alone is empty.
std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

Data SipMessage::header(std::string_view name) const {
    const char* compact = compactForm(name);
    std::istringstream in(m_text.str());
    std::string line;
    std::getline(in, line);  // the start line
    while (std::getline(in, line)) {
        if (line == "\r" || line.empty())
            break;
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string field = trimmed(line.substr(0, colon));
        if (sameName(field, name) || (compact && sameName(field, compact)))
            return Data(trimmed(line.substr(colon + 1)));
    }
    return Data();
}

}  // namespace sip
