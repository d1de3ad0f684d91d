// The tests' own model of one step of a select-line edit, written apart from
// the tool's code so that the tool's one-rewrite edits can be held to it.
#ifndef KTRP_TESTS_SELECT_STEP_MODEL_H_
#define KTRP_TESTS_SELECT_STEP_MODEL_H_

#include <cstdint>
#include <string>
#include <string_view>

// The line a step rebuilds from the value it read: startText, then " part"
// for each blank-separated part of value whose name (the text before its
// first ":") is not name, then " name:weight" unless remove.
inline std::string stepRebuiltLine(std::string_view startText, const std::string& value, const std::string& name,
                                   bool remove, int64_t weight) {
  std::string line(startText);
  size_t pos = 0;
  for (;;) {
    size_t blank = value.find(' ', pos);
    std::string part = value.substr(pos, blank == std::string::npos ? std::string::npos : blank - pos);
    if (part.substr(0, part.find(':')) != name) line += " " + part;
    if (blank == std::string::npos) break;
    pos = blank + 1;
  }
  if (!remove) line += " " + name + ":" + std::to_string(weight);
  return line;
}

#endif  // KTRP_TESTS_SELECT_STEP_MODEL_H_
