// Cameras whose frame store could not be allocated at start (their section
// asks more than the machine gives, or the address space is limited). Each
// keeps its section, written back as read, and a store of one page; no
// source is started for it until a start that can allocate the store.
//
// Threading: every call is thread-safe. Lifetime: the process.
#pragma once

#include <cstdint>

namespace kovira {

void markStoreMissing(int camid, std::uint64_t mib);
// The MiB that could not be allocated for the camera; 0 when it has its store.
std::uint64_t missingStoreMiB(int camid);
// Test support: forgets the marks.
void clearStoreMissingForTests();

}  // namespace kovira
