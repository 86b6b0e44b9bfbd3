// quillbox xml result|create|account: reads a reply of the service from
// standard input with the XML reply reader of that kind and prints the
// dictionary as JSON. Exit 2 for text that is not XML and for a reply the
// reader raises on (its error is logged); 0 otherwise.
#include <iostream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>

#include "Commands.h"
#include "XmlParse/XmlParse.h"

namespace quillbox::tool {
namespace {

int run(const std::string& kind) {
  std::string reply((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  std::optional<PlistDict> dict;
  try {
    if (kind == "result")
      dict = XmlParse::parserToXML(reply);
    else if (kind == "create")
      dict = XmlParse::parserToCreateFile(reply);
    else
      dict = XmlParse::parserToInitialization(reply);
  } catch (const XmlParseError& e) {
    std::cerr << "quillbox xml: " << e.what() << "\n";
    return 2;
  }
  if (!dict) {
    std::cerr << "quillbox xml: the reply is not well-formed XML\n";
    return 2;
  }
  std::cout << toJson(PlistValue(std::move(*dict))).dump() << "\n";
  return 0;
}

Command::Registration xml(70, [](CLI::App& app) {
  auto kind = std::make_shared<std::string>();
  auto* cmd = app.add_subcommand(
      "xml",
      "read a service reply (XML) from standard input and print it as JSON; exit 2 when it is "
      "not XML or lacks the reply's elements");
  cmd->add_option("KIND", *kind,
                  "result (type and message), create (file creation) or account (overview)")
      ->required()
      ->check(CLI::IsMember({"result", "create", "account"}));
  cmd->callback([kind] { Command::setExitStatus(run(*kind)); });
});

}  // namespace
}  // namespace quillbox::tool
