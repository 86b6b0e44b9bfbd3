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
      "AES-256-CBC key; prints the plaintext (an empty one with a note on standard error), "
      "exit 1 when the input does not decipher (not base64, not whole blocks, bad padding: "
      "what did decipher is still printed)");
  auto key = std::make_shared<std::string>(VersionUpdateInfo::kDecipherKey);
  cmd->add_option("--key", *key, "key string (default: the update reply's)");
  cmd->callback([key] {
    std::string text;
    for (auto it = std::istreambuf_iterator<char>(std::cin); it != std::istreambuf_iterator<char>();
         ++it) {
      // `openssl base64` and friends wrap their lines.
      if (!std::isspace(static_cast<unsigned char>(*it))) text += *it;
    }
    const JNIOperate::Deciphered plain = JNIOperate::decipher(*key, text);
    std::fwrite(plain.text.data(), 1, plain.text.size(), stdout);
    std::fflush(stdout);
    const bool deciphered = plain.status == JNIOperate::Status::Deciphered;
    if (!deciphered) {
      std::fprintf(stderr, "quillbox decipher: does not decipher (%s)\n",
                   JNIOperate::describe(plain.status));
    } else if (plain.text.empty()) {
      // What the update server sends when it announces nothing.
      std::fprintf(stderr, "quillbox decipher: the plaintext is empty\n");
    }
    Command::setExitStatus(deciphered ? 0 : 1);
  });
});

}  // namespace
}  // namespace quillbox::tool
