// SPDX-License-Identifier: MIT
#include "platform/RegisteredMessages.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <string>

namespace platform {
namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, UINT> numbers;
};

// Built on first use, so that a registration from another file's static initialisation finds it ready.
Registry& registry() {
    static Registry instance;
    return instance;
}

}  // namespace

UINT RegisterWindowMessage(const char* name) {
    if (!name || !*name)
        return 0;
    std::string key(name);
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    Registry& messages = registry();
    const std::lock_guard lock(messages.mutex);
    if (const auto found = messages.numbers.find(key); found != messages.numbers.end())
        return found->second;
    const UINT next = kFirstRegisteredMessage + static_cast<UINT>(messages.numbers.size());
    if (next > kLastRegisteredMessage)
        return 0;
    messages.numbers.emplace(std::move(key), next);
    return next;
}

}  // namespace platform
