// The update reply's cipher, its decipher facade and the reply scanner, with
// FIPS 197 vectors and the openssl command as the peer.
// ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "AppURL.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "TestSupport.h"
#include "VersionUpdateInfo/JNIOperate.h"
#include "VersionUpdateInfo/VersionUpdateInfo.h"
#include "VersionUpdateInfo/jni/AesCipher.h"

using namespace quillbox;

namespace {

const char kKey[] = "Keep going,Stay brave!";
// Hex of the 32 ASCII characters of the upper-case MD5 of kKey (Python's hashlib).
const char kKeyHex[] = "4234414330393744344342333431424137423445383231393532364445384545";

std::vector<uint8_t> fromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// Base64 of `plaintext` enciphered by `openssl enc -aes-256-cbc` with a zero IV.
// `wrapped`: base64 in openssl's default 64-column lines.
std::string opensslEncipher(const std::string& plaintext, bool noPad = false,
                            const std::string& keyHex = kKeyHex, bool wrapped = false) {
  TempDir dir;
  writeFile(dir.file("plain"), plaintext);
  std::string cmd = std::string("openssl enc -aes-256-cbc -base64 ") + (wrapped ? "" : "-A ") +
                    "-K " + keyHex + " -iv " + std::string(32, '0') + (noPad ? " -nopad" : "") +
                    " -in '" + dir.file("plain") + "' 2>/dev/null";
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    if (pclose(p) != 0) out.clear();
  }
  return out;
}

#define REQUIRE_OPENSSL() \
  if (opensslEncipher("x").empty()) PREREQUISITE_MISSING("the openssl command is not installed")

}  // namespace

TEST(UpdateCipher, Fips197AppendixCVectors) {
  const struct {
    int32_t code;
    std::string key, cipher;
  } cases[] = {
      {jni::kKey16Bytes, "000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {jni::kKey24Bytes, "000102030405060708090a0b0c0d0e0f1011121314151617",
       "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {jni::kKey32Bytes, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "8ea2b7ca516745bfeafc49904b496089"},
  };
  std::lock_guard<std::mutex> lock(jni::m_lock());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    ASSERT_EQ(jni::init(jni::kModeCBC, jni::kDecrypt, fromHex(c.key).data(), c.code, nullptr), 0);
    uint8_t out[16];
    jni::jniDecrypt(fromHex(c.cipher).data(), out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 16), fromHex("00112233445566778899aabbccddeeff"));
  }
}

TEST(UpdateCipher, StatusCodes) {
  std::lock_guard<std::mutex> lock(jni::m_lock());
  const uint8_t key[32] = {};
  uint8_t in[32] = {}, out[32];
  const struct {
    int32_t mode, direction, keyLength;
    const uint8_t* key;
    int32_t expected;
  } inits[] = {{0, 1, 2, key, jni::kUnsupportedMode},
               {1, 2, 2, key, jni::kBadDirection},
               {1, 1, 3, key, jni::kBadKeyLength},
               {1, 1, 2, nullptr, jni::kNoKey}};
  for (const auto& c : inits) {
    ASSERT_EQ(jni::init(jni::kModeCBC, jni::kDecrypt, key, jni::kKey32Bytes, nullptr), 0);
    EXPECT_EQ(jni::init(c.mode, c.direction, c.key, c.keyLength, nullptr), c.expected);
    // A failed init leaves no key installed.
    EXPECT_EQ(jni::padDecrypt(in, 16, out), jni::kNotInitialized);
  }
  ASSERT_EQ(jni::init(jni::kModeCBC, jni::kEncrypt, key, jni::kKey32Bytes, nullptr), 0);
  EXPECT_EQ(jni::padDecrypt(in, 16, out), jni::kWrongDirection);
  ASSERT_EQ(jni::init(jni::kModeCBC, jni::kDecrypt, key, jni::kKey32Bytes, nullptr), 0);
  EXPECT_EQ(jni::padDecrypt(in, 0, out), 0);
  EXPECT_EQ(jni::padDecrypt(in, 17, out), jni::kCorruptedData);
}

TEST(UpdateCipher, DeciphersWhatOpensslEnciphered) {
  REQUIRE_OPENSSL();
  const std::string first = "ABCDEFGHIJKLMNOP", pad = std::string(15, 'x');
  using S = JNIOperate::Status;
  const struct {
    std::string name, cipher, expected;
    S status;
  } cases[] = {
      {"reply", opensslEncipher("Version0=1.0.2\r\nUpdateURL0=x\r\n"),
       "Version0=1.0.2\r\nUpdateURL0=x\r\n", S::Deciphered},
      {"wrapped in lines", opensslEncipher(std::string(200, 'w'), false, kKeyHex, true),
       std::string(200, 'w'), S::Deciphered},
      {"15", opensslEncipher(std::string(15, 'q')), std::string(15, 'q'), S::Deciphered},
      {"16", opensslEncipher(std::string(16, 'q')), std::string(16, 'q'), S::Deciphered},
      {"17", opensslEncipher(std::string(17, 'q')), std::string(17, 'q'), S::Deciphered},
      {"Latin-1", opensslEncipher("caf\xe9 \xff"), "café ÿ", S::Deciphered},
      {"10240 bytes, the most", opensslEncipher(std::string(10239, 'z')), std::string(10239, 'z'),
       S::Deciphered},
      // What the update server sends when it announces nothing: valid, and empty.
      {"pad 16 of 16", opensslEncipher(""), "", S::Deciphered},
      // Bad padding: the plaintext of every block but the last.
      {"pad 0", opensslEncipher(first + pad + '\0', true), first, S::BadPadding},
      {"pad 17", opensslEncipher(first + pad + '\x11', true), first, S::BadPadding},
      {"pad bytes differ", opensslEncipher(first + pad + '\x03', true), first, S::BadPadding},
      {"zero byte cuts", opensslEncipher(std::string("ab\0cd", 5)), "ab", S::Deciphered},
      {"not a block multiple", "QUJDREVGR0hJSktMTU5PUFE=", "", S::NotBlocks},
      {"not base64", "not base64!", "", S::NotBase64},
      {"empty", "", "", S::NoCipher},
      {"10256 bytes: refused", opensslEncipher(std::string(10240, 'z')), "", S::TooLong},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> lines;
    platform::Log::setSinkForTesting([&](const std::string& l) { lines.push_back(l); });
    EXPECT_EQ(JNIOperate::decryptCipherWithKey(kKey, c.cipher), c.expected);
    // Every call installs the key and a zero IV afresh: nothing carries over.
    JNIOperate::Deciphered again = JNIOperate::decipher(kKey, c.cipher);
    EXPECT_EQ(again.text, c.expected);
    EXPECT_EQ(JNIOperate::describe(again.status), JNIOperate::describe(c.status));
    platform::Log::setSinkForTesting(nullptr);
    if (c.name == "10256 bytes: refused") {
      ASSERT_EQ(lines.size(), 2u);
      EXPECT_NE(lines[0].find("refused"), std::string::npos) << lines[0];
    }
  }
}

TEST(UpdateCipher, TwoThreadsDecipherAtOnce) {
  REQUIRE_OPENSSL();
  const std::string a = opensslEncipher(std::string(500, 'a'));
  const std::string b = opensslEncipher(
      std::string(700, 'b'), false,
      "4134413642413335344642413438334138364546344533343741464539453531");  // "other key"
  platform::Log::setSinkForTesting([](const std::string&) {});
  auto run = [](const char* key, const std::string& cipher, std::string expected, int* bad) {
    for (int i = 0; i < 50; ++i)
      if (JNIOperate::decryptCipherWithKey(key, cipher) != expected) ++*bad;
  };
  int badA = 0, badB = 0;
  std::thread ta(run, kKey, a, std::string(500, 'a'), &badA);
  std::thread tb(run, "other key", b, std::string(700, 'b'), &badB);
  ta.join();
  tb.join();
  platform::Log::setSinkForTesting(nullptr);
  EXPECT_EQ(badA + badB, 0);
}

TEST(UpdateCheck, ScansTheReply) {
  const struct {
    std::string plain;
    bool result;
    std::string version, url;
  } cases[] = {
      {"Version0=1.0.2\r\nUpdateURL0=x\r\n", true, "1.0.2", "x"},
      {"UpdateURL0=x\r\n", false, "", ""},
      {"Version0=\r\nUpdateURL0=x\r\n", true, "", "x"},  // an empty value still announces
      {"Version0=1.0.2\r\nUpdateURL0=http://h/q.deb", true, "1.0.2", "http://h/q.deb"},
      {"Version0=2.0", true, "2.0", ""},
      {" \r\nName=a\r\nVersion0=2.1\r\nUpdateURL0=\r\n", true, "2.1", ""},
      {"", false, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.plain);
    VersionUpdateInfo info;
    EXPECT_EQ(info.readReply(c.plain), c.result);
    EXPECT_EQ(info.strNewVersion(), c.version);
    EXPECT_EQ(info.strDownUrl(), c.url);
  }
}

TEST(UpdateCheck, RequestUrlAndSystemVersion) {
  using platform::Environment;
  Environment::set("QUILLBOX_UPDATE_URL", "http://127.0.0.1:9/pages/check/updateini.aspx");
  Environment::set("QUILLBOX_SYSTEM_VERSION", "6.1.3");
  EXPECT_EQ(VersionUpdateInfo().requestUrl(),
            "http://127.0.0.1:9/pages/check/updateini.aspx?licensekey=com.velmor.quillbox.server"
            "&orgKey=&version=&ip=&osversion=iOS6.1.3");
  Environment::set("QUILLBOX_SYSTEM_VERSION", "6 &x");  // escaped, never breaking the query
  EXPECT_NE(VersionUpdateInfo().requestUrl().find("osversion=iOS6%20%26x"), std::string::npos);
  // Without the variable: the kernel release's leading dotted number.
  Environment::set("QUILLBOX_SYSTEM_VERSION", "");
  const std::string v = Environment::systemVersion();
  EXPECT_TRUE(!v.empty() && v.find_first_not_of("0123456789.") == std::string::npos) << v;
  Environment::set("QUILLBOX_UPDATE_URL", "");
}

TEST(UpdateCheck, CheckUrlFollowsTheClientsService) {
  using platform::Environment;
  TempDir dir;
  AppURL::sharedAppURL().setAppURL(dir.path());
  std::filesystem::create_directories(dir.path() + "/Library");
  const std::string local = dir.path() + "/Library/com.velmor.loacal.plist";
  const char* kDefault = VersionUpdateInfo::kDefaultCheckUrl;
  const struct {
    const char *variable, *apiBase, *expected;
  } cases[] = {
      {"http://u:1/pages/check/updateini.aspx", "https://127.0.0.1:8443/3/",
       "http://u:1/pages/check/updateini.aspx"},
      {"", "https://127.0.0.1:8443/3/", "https://127.0.0.1:8443/pages/check/updateini.aspx"},
      {"", "http://[::1]:9/3/?x", "http://[::1]:9/pages/check/updateini.aspx"},
      {"", "https://h.example", "https://h.example/pages/check/updateini.aspx"},
      {"", "ftp://h/3/", kDefault},
      {"", "https:///3/", kDefault},
      {"", nullptr, kDefault},  // no local plist
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.variable) + " " + (c.apiBase ? c.apiBase : "(none)"));
    Environment::set("QUILLBOX_UPDATE_URL", c.variable);
    std::remove(local.c_str());
    if (c.apiBase) {
      PlistDict d;
      d.set("url", PlistValue(c.apiBase));
      ASSERT_TRUE(platform::PropertyList::write(local, PlistValue(d)));
    }
    EXPECT_EQ(VersionUpdateInfo::checkUrl(), c.expected);
  }
  Environment::set("QUILLBOX_UPDATE_URL", "");
  AppURL::sharedAppURL().setAppURL("");
}
