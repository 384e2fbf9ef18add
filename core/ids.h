// Unique and random identifiers; thread-safe.
#pragma once

#include <cstddef>
#include <string>

// Strictly increasing within a run and never below the current Unix time;
// every value is handed out once, also to callers on several threads.
unsigned simpleuniqid();

// n random lower-case hex digits from /dev/urandom; "" when n > 256.
std::string randomstring(std::size_t n);
std::string genrandom32af();
