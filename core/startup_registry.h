// The ordered start-up and exit registries. main calls every start-up entry
// once, in order, on the main thread before any worker starts; HTTP routes,
// configuration sections and scheduler tasks are therefore registered in
// this order, and later modules may rely on earlier ones.
#pragma once

#include <span>
#include <string_view>

struct RegistryEntry {
  std::string_view module;    // source module
  std::string_view function;  // its start-up (or exit) function
  void (*call)();
};

std::span<const RegistryEntry> startupRegistry();
std::span<const RegistryEntry> exitRegistry();

void runStartupRegistry();
void runExitRegistry();
