// quillbox digest sha1|md5 FILE | --text TEXT: the digests of evidence files and texts.
#include <iostream>
#include <memory>

#include "Commands.h"
#include "MD5/MD5.h"
#include "SHA1Help/SHA1Help.h"

namespace quillbox::tool {
namespace {

struct DigestArgs {
  std::string algorithm;
  std::string file;
  std::string text;
  bool haveText = false;
};

int run(const DigestArgs& a) {
  const bool sha1 = a.algorithm == "sha1";
  if (a.haveText) {
    std::cout << (sha1 ? SHA1Help::sha1(a.text) : MD5::getLowerMD5ByString(a.text)) << "\n";
    return 0;
  }
  if (a.file.empty()) {
    std::cerr << "quillbox digest: give a FILE or --text TEXT\n";
    return 2;
  }
  auto digest = sha1 ? SHA1Help::file_sha1(a.file) : MD5::fileMD5(a.file);
  if (!digest) {
    std::cerr << "quillbox digest: cannot read \"" << a.file << "\"\n";
    return 1;
  }
  std::cout << *digest << "\n";
  return 0;
}

Command::Registration digest(30, [](CLI::App& app) {
  auto args = std::make_shared<DigestArgs>();
  auto* cmd = app.add_subcommand(
      "digest",
      "SHA-1 or MD5 (lower-case hex) of a file, streamed in 4096-byte chunks, or of a text");
  cmd->add_option("ALGORITHM", args->algorithm, "sha1 or md5")
      ->required()
      ->check(CLI::IsMember({"sha1", "md5"}));
  auto* file = cmd->add_option("FILE", args->file, "file to digest");
  auto* text = cmd->add_option("--text", args->text, "digest this text's UTF-8 bytes instead");
  file->excludes(text);
  cmd->callback([args, text] {
    args->haveText = text->count() > 0;
    Command::setExitStatus(run(*args));
  });
});

}  // namespace
}  // namespace quillbox::tool
