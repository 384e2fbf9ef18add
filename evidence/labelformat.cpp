#include "evidence/labelformat.h"

#include "core/clock.h"
#include "core/text.h"

#include <algorithm>

LabelFormat::LabelFormat(const std::string& format, unsigned int time)
    : ways{"-", "встречное", "попутное"}, format_(format) {
  emplace("b", "\n");
  emplace("t", timeformat("%d/%m/%Y %H:%M:%S", time));
  emplace("selfname", "%d серийный номер %s");
}

void LabelFormat::emplace(std::string key, std::string value) {
  maxkey_ = std::max(maxkey_, key.size());
  variables_.push_back({std::move(key), std::move(value)});
}

void LabelFormat::emplace(std::string key, int value) { emplace(std::move(key), format("%d", value)); }

void LabelFormat::way(unsigned int dir) {
  if (ways.empty()) return emplace("w", "-");
  emplace("w", dir < ways.size() ? ways[dir] : ways[0]);
}

std::string LabelFormat::text() const {
  if (format_.empty()) return {};
  std::string result = format_;
  for (std::size_t len = maxkey_; len >= 1; --len) {
    for (const RepalceText& v : variables_) {
      if (v.key.size() == len) replaceAll(result, "%" + v.key, v.value);
    }
  }
  replaceAll(result, "|", "\n");
  return result;
}
