// quillbox decipher [--key TEXT]: deciphers an update reply (base64 on standard input).
#include <cctype>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <memory>

#include "Commands.h"
#include "VersionUpdateInfo/JNIOperate.h"
#include "VersionUpdateInfo/VersionUpdateInfo.h"

namespace quillbox::tool {
namespace {

Command::Registration decipher(71, [](CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "decipher",
      "decipher base64 read from standard input (line breaks allowed) with the key string's "
      "AES-256-CBC key; prints the plaintext, exit 1 when nothing deciphers");
  auto key = std::make_shared<std::string>(VersionUpdateInfo::kDecipherKey);
  cmd->add_option("--key", *key, "key string (default: the update reply's)");
  cmd->callback([key] {
    std::string text;
    for (auto it = std::istreambuf_iterator<char>(std::cin); it != std::istreambuf_iterator<char>();
         ++it) {
      // `openssl base64` and friends wrap their lines.
      if (!std::isspace(static_cast<unsigned char>(*it))) text += *it;
    }
    const std::string plain = JNIOperate::decryptCipherWithKey(*key, text);
    std::fwrite(plain.data(), 1, plain.size(), stdout);
    std::fflush(stdout);
    if (plain.empty()) std::fprintf(stderr, "quillbox decipher: nothing deciphered\n");
    Command::setExitStatus(plain.empty() ? 1 : 0);
  });
});

}  // namespace
}  // namespace quillbox::tool
