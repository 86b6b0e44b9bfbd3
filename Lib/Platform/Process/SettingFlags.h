// SettingFlags: the settings a program also takes as --flags (each
// Environment::Setting whose programs include it), added to its command line.
// A flag given overrides the environment variable for this run.
#pragma once

#include <string>
#include <vector>

#include "Platform/Process/Environment.h"

namespace CLI {
class App;
}  // namespace CLI

namespace quillbox::platform {

class SettingFlags {
 public:
  // Adds a --flag to `app` for every setting `program` takes, its help made
  // by Environment::helpText. REQUIRES: this object outlives the parsing.
  SettingFlags(CLI::App& app, Environment::Program program);
  SettingFlags(const SettingFlags&) = delete;
  SettingFlags& operator=(const SettingFlags&) = delete;

  // After parsing: Environment::set for each flag that was given.
  void apply() const;

 private:
  std::vector<const Environment::Setting*> settings_;
  std::vector<std::string> values_;  // one per setting, filled by the parser
};

}  // namespace quillbox::platform
