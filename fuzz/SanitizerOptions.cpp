// SPDX-License-Identifier: MIT
// AddressSanitizer's options for every fuzz target, so that a target run by hand behaves as under
// scripts/fuzz.sh.
//
// ASan keeps freed blocks in a quarantine to catch late uses, 256 MB of them by default, and that memory
// stays resident: a target that allocates as it parses (QSettings' file handling, the XML reader) grows by
// what it frees until the quarantine is full, and passes the 256 MB RSS bound that catches real growth.
// 32 MB still covers every block an input's run frees.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=32";
}
