#include "Platform/Process/SettingFlags.h"

#include <CLI/CLI.hpp>

namespace quillbox::platform {

SettingFlags::SettingFlags(CLI::App& app, Environment::Program program) {
  for (const Environment::Setting& s : Environment::settings())
    if (s.programs & program) settings_.push_back(&s);
  values_.resize(settings_.size());  // never resized again: the parser holds the addresses
  for (size_t i = 0; i < settings_.size(); ++i)
    app.add_option(settings_[i]->flag, values_[i], Environment::helpText(*settings_[i]));
}

void SettingFlags::apply() const {
  for (size_t i = 0; i < settings_.size(); ++i)
    if (!values_[i].empty()) Environment::set(settings_[i]->variable, values_[i]);
}

}  // namespace quillbox::platform
