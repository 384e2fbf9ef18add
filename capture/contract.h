// Always-on invariant checks of the frame store. A broken invariant there
// means records and bytes no longer match, so the process stops at once
// (with the condition's text) instead of producing wrong evidence; unlike
// assert() this is not compiled out in release builds.
#pragma once

namespace kovira {
[[noreturn]] void contractFailed(const char* text, const char* file, int line, const char* func);
}

#define KOVIRA_CONTRACT(cond, text) \
  ((cond) ? static_cast<void>(0) : ::kovira::contractFailed(text, __FILE__, __LINE__, __func__))
