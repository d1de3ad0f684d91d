#include "config_reader.h"

#include "die.h"

QELConfig parseOrDie(const std::string& path) {
  auto [cfg, err] = ParseFile(path);
  if (err) dieStatusf(255, "Error: %s", err);
  return cfg;
}

std::string lookup(QELConfig cfg, std::string_view key) { return cfg.GetString(key).first; }
