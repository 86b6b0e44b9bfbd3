// The settings table: the README's configuration table is the one vigild
// --help and the widget host's flags are made from (Environment::settings).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "Platform/Process/Environment.h"

namespace quillbox::platform {
namespace {

TEST(SettingsTableTest, ReadmeListsEverySettingAsTheTableSaysIt) {
  std::ifstream in(std::string(QUILLBOX_SOURCE_DIR) + "/README.md");
  ASSERT_TRUE(in) << "README.md";
  std::string readme, line;
  while (std::getline(in, line))
    if (line.rfind("| `QUILLBOX_", 0) == 0) readme += line + "\n";
  std::string table;
  for (const Environment::Setting& s : Environment::settings())
    table += std::string("| `") + s.variable + "` | " + s.meaning + " | " + s.byDefault + " |\n";
  EXPECT_EQ(readme, table) << "the README's rows must be (Lib/Platform/Process/Environment.cpp):\n"
                           << table;
}

}  // namespace
}  // namespace quillbox::platform
