#include "recognition/track_mask.h"

#include "core/text.h"

#include <iostream>
#include <memory>
#include <mutex>
#include <regex>
#include <set>

namespace kovira {

namespace {

constexpr std::size_t kMinMaskText = 4;

// The letter sets are the Latin letters that look like Cyrillic plate letters.
const std::vector<std::string> kBuiltin = {
    "[ABEKMHOPCTYX][0-9]{3}[ABEKMHOPCTYX]{2}[0-9]{2,3}",
    "[ABEKMHOPCTYX]{2}[0-9]{3}[0-9]{2}",
    "[ABEKMHOPCTYX][0-9]{4}[0-9]{2}",
    "[ABEKMHOPCTYX]{2}[0-9]{4}[0-9]{2}",
    "[0-9]{4}[ABEKMHOPCTYX]{2}[0-9]{2}",
    "[ABEKMHOPCTYX]{2}[0-9]{6}",
    "[ABEIKMHOPCTX]{2}[0-9]{4}[ABEIKMHOPCTX]{2}",
    "[0-9]{3}-?[0-9]{2}[ABEIKMHOPCTX]{2}",
    "[A-Z]{2}[0-9]{3}[A-Z]{2}",
    "[0-9]{2}[0-9]{3}[A-Z]{3}",
    "[0-9]{2}[A-Z][0-9]{3}[A-Z]{2}",
    "[0-9]{2}[A-Z]{2}[0-9]{3}",
    "[0-9]{3}[A-Z]{2,3}[0-9]{2}",
    "[A-Z][0-9]{3}[A-Z]{2,3}",
    "[0-9]{4}[ABEIKMHOPCTX]{2}-[0-9]",
    "[ABEIKMHOPCTX]{2}[0-9]{4}-[0-9]",
    "[ABEIKMHOPCTX][0-9]{4}[ABEIKMHOPCTX]-[0-9]",
    "[0-9]TAX[0-9]{4}",
};

bool validPattern(const std::string& piece) {
  try {
    std::regex probe("^(" + piece + ")$", std::regex::ECMAScript);
    return true;
  } catch (const std::regex_error&) {
    return false;
  }
}

std::string joinExpression(const std::set<std::string>& patterns) {
  std::string expr = "^(";
  bool first = true;
  for (const auto& p : patterns) {
    if (!first) expr += '|';
    expr += p;
    first = false;
  }
  return expr + ")$";
}

// The expression for one "trackmask" text. Compiling the combined expression
// takes longer than many matches, so the last one is kept; a bad piece is
// reported once for the life of the process, not on every track.
class MaskCache {
 public:
  std::shared_ptr<const std::regex> get(const std::string& trackmask) {
    std::lock_guard lock(mutex_);
    if (!expr_ || trackmask != source_) {
      expr_ = build(trackmask);
      source_ = trackmask;
    }
    return expr_;
  }

 private:
  // Called with mutex_ held.
  std::shared_ptr<const std::regex> build(const std::string& trackmask) {
    std::set<std::string> patterns(kBuiltin.begin(), kBuiltin.end());
    std::size_t start = 0;
    while (start <= trackmask.size()) {
      std::size_t end = trackmask.find_first_of("\n;,|", start);
      if (end == std::string::npos) end = trackmask.size();
      std::string piece = trackmask.substr(start, end - start);
      trim(piece);
      start = end + 1;
      if (piece.empty()) continue;
      if (validPattern(piece)) {
        patterns.insert(piece);
      } else if (reported_.insert(piece).second) {
        std::cout << "[TRACK] trackmask pattern is not a valid expression, ignored: " << piece << std::endl;
      }
    }
    try {
      return std::make_shared<const std::regex>(joinExpression(patterns), std::regex::ECMAScript);
    } catch (const std::regex_error&) {
      // Pieces that are valid one by one can still break the alternation
      // (an unbalanced group split across pieces): keep the built-ins.
      if (reported_.insert(trackmask).second)
        std::cout << "[TRACK] trackmask patterns ignored, they do not combine: " << trackmask << std::endl;
      return std::make_shared<const std::regex>(
          joinExpression(std::set<std::string>(kBuiltin.begin(), kBuiltin.end())), std::regex::ECMAScript);
    }
  }

  std::mutex mutex_;
  std::shared_ptr<const std::regex> expr_;  // guarded by mutex_
  std::string source_;                      // guarded by mutex_
  std::set<std::string> reported_;          // guarded by mutex_
};

MaskCache& cache() {
  static MaskCache c;
  return c;
}

}  // namespace

const std::vector<std::string>& builtinPlatePatterns() { return kBuiltin; }

bool plateMatchesMask(const std::string& text, const std::string& trackmask) {
  const std::string upper = strtoupper(text);
  if (upper.size() < kMinMaskText) return false;
  const auto expr = cache().get(trackmask);
  return std::regex_match(upper, *expr);
}

}  // namespace kovira
