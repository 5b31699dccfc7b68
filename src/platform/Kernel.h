// SPDX-License-Identifier: MIT
// Kernel services the program uses by their Windows names: the millisecond tick, sleeping, the name
// of the logged-on user. Any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// Milliseconds since an arbitrary start, wrapping at 2^32 like the Windows tick count.
std::uint32_t GetTickCount();

void Sleep(unsigned milliseconds);

// Gives the heap's free pages back to the system. After a burst of work the allocator keeps what it
// freed in holes between pages still in use; the resident size would stay at the burst's peak.
void ReleaseFreedMemory();

// The logged-on user's name, or nothing when it cannot be had or does not fit in `bufferSize`
// bytes with its terminating zero.
std::optional<std::string> GetUserName(std::size_t bufferSize);

namespace testing {
// Shifts every later GetTickCount by `offset` (modulo 2^32), so a wrap-around can be put anywhere.
void SetTickCountOffset(std::uint32_t offset);
}  // namespace testing

}  // namespace platform
