// LabelFormat: turns an operator's caption template into caption text.
//
// Variables are "%" + key; longer keys are substituted first (so "%spd" is
// not eaten by "%s"), a value may hold shorter variables that later passes
// replace, and "|" starts a new line. One object belongs to one thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class LabelFormat {
 public:
  struct RepalceText {
    std::string key;
    std::string value;
  };

  // time: Unix seconds, shown as variable "t" in local time.
  LabelFormat(const std::string& format, unsigned int time);

  // A key added twice is kept twice; the first one added wins.
  void emplace(std::string key, std::string value);
  void emplace(std::string key, int value);
  // Adds "w": the direction word for dir (0 none, 1 approaching, 2 receding).
  void way(unsigned int dir);
  std::string text() const;

  std::vector<std::string> ways;

 private:
  std::string format_;
  std::vector<RepalceText> variables_;
  std::size_t maxkey_ = 0;
};
