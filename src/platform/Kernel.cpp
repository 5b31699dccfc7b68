// SPDX-License-Identifier: MIT
#include "platform/Kernel.h"

#include <malloc.h>

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace platform {
namespace {
std::atomic<std::uint32_t> g_tickOffset{0};
}

std::uint32_t GetTickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms)) + g_tickOffset.load();
}

void Sleep(unsigned milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void ReleaseFreedMemory() {
    malloc_trim(0);
}

std::optional<std::string> GetUserName(std::size_t bufferSize) {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) != 0 || !found || !found->pw_name)
        return std::nullopt;
    std::string name = found->pw_name;
    if (name.empty() || name.size() + 1 > bufferSize)
        return std::nullopt;
    return name;
}

namespace testing {
void SetTickCountOffset(std::uint32_t offset) {
    g_tickOffset = offset;
}
}  // namespace testing

}  // namespace platform
