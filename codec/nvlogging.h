// The codec element log: message lines of the element classes go to
// standard error, filtered by the process-wide `log_level` (0 silent,
// 1 errors, 2 warnings too, 3 debug too). The program leaves it at 0; tests
// raise it to check messages.
//
//   [LOG_LEVEL_ERROR] (file:line) <component> text[: system error]
//   [LOG_LEVEL_WARN] (file:line) <component> :text
//   [LOG_LEVEL_DEBUG] (file:line) <component> :text
//
// Plane messages put "<plane name>:" between the component part and the text.
#pragma once

#include <atomic>
#include <cerrno>
#include <sstream>
#include <string>

extern std::atomic<int> log_level;

namespace nvlog {

enum Level { kError = 1, kWarn = 2, kDebug = 3 };

inline bool enabled(Level level) { return log_level.load(std::memory_order_relaxed) >= level; }

// component null: a line without the component part. withErrno appends
// ": " and the text of errnoValue.
void line(Level level, const char* file, int lineNo, const char* component, const char* plane,
          const std::string& text, bool withErrno, int errnoValue);

}  // namespace nvlog

#define NVLOG_LINE(level, comp, plane, expr, sys)                                    \
  do {                                                                               \
    if (nvlog::enabled(level)) {                                                     \
      const int nvlogErrno_ = errno;                                                 \
      std::ostringstream nvlogOs_;                                                   \
      nvlogOs_ << expr;                                                              \
      nvlog::line(level, __FILE__, __LINE__, comp, plane, nvlogOs_.str(), sys, nvlogErrno_); \
      errno = nvlogErrno_;                                                           \
    }                                                                                \
  } while (0)

// Element messages (use the element's comp_name).
#define COMP_ERROR_MSG(expr) NVLOG_LINE(nvlog::kError, comp_name, nullptr, expr, false)
#define COMP_SYS_ERROR_MSG(expr) NVLOG_LINE(nvlog::kError, comp_name, nullptr, expr, true)
#define COMP_WARN_MSG(expr) NVLOG_LINE(nvlog::kWarn, comp_name, nullptr, expr, false)
#define COMP_DEBUG_MSG(expr) NVLOG_LINE(nvlog::kDebug, comp_name, nullptr, expr, false)
// Messages without a component.
#define NV_ERROR_MSG(expr) NVLOG_LINE(nvlog::kError, nullptr, nullptr, expr, false)
#define NV_WARN_MSG(expr) NVLOG_LINE(nvlog::kWarn, nullptr, nullptr, expr, false)
#define NV_DEBUG_MSG(expr) NVLOG_LINE(nvlog::kDebug, nullptr, nullptr, expr, false)
