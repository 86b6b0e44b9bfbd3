// Digests and Base64 against independent peers: sha1sum/md5sum and the RFC vectors.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "MD5/MD5.h"
#include "Platform/Files/FileSystem.h"
#include "SHA1Help/SHA1Help.h"
#include "TestSupport.h"
#include "base64/NSDataToBase64Encoding.h"
#include "base64/NSStringToBase64.h"

using namespace quillbox;
namespace fs = std::filesystem;

namespace {

// First word of a command's output (the hex digest of sha1sum/md5sum).
std::string peerDigest(const std::string& tool, const std::string& path) {
  std::string cmd = tool + " '" + path + "'";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return "";
  char buf[256] = {0};
  std::string out = fgets(buf, sizeof buf, p) ? buf : "";
  pclose(p);
  return out.substr(0, out.find(' '));
}

void writePseudoRandom(const std::string& path, size_t size, unsigned seed) {
  std::ofstream f(path, std::ios::binary);
  std::mt19937_64 rng(seed);
  std::string block(1 << 16, '\0');
  size_t left = size;
  while (left > 0) {
    for (size_t i = 0; i + 8 <= block.size(); i += 8) {
      uint64_t v = rng();
      std::memcpy(&block[i], &v, 8);
    }
    size_t n = std::min(left, block.size());
    f.write(block.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
}

}  // namespace

TEST(StoreDigest, FilesMatchSha1sumAndMd5sum) {
  TempDir dir;
  const size_t sizes[] = {0, 1, 4095, 4096, 4097, 8192, 3 * 4096, 12345, 100u << 20};
  for (size_t size : sizes) {
    SCOPED_TRACE(size);
    std::string path = dir.path() + "/f" + std::to_string(size);
    writePseudoRandom(path, size, static_cast<unsigned>(size));
    auto sha = SHA1Help::file_sha1(path);
    auto md5 = MD5::fileMD5(path);
    ASSERT_TRUE(sha);
    ASSERT_TRUE(md5);
    EXPECT_EQ(*sha, peerDigest("sha1sum", path));
    EXPECT_EQ(*md5, peerDigest("md5sum", path));
    // Chunk size is only a reading detail.
    EXPECT_EQ(FileSHA1HashCreateWithPath(path, 0, nullptr), sha);
    if (size < (1u << 20)) {
      EXPECT_EQ(FileSHA1HashCreateWithPath(path, 1000, nullptr), sha);
      EXPECT_EQ(FileMD5HashCreateWithPath(path, 7), md5);
    }
    fs::remove(path);
  }
}

TEST(StoreDigest, UnreadableFilesGiveNoResult) {
  TempDir dir;
  EXPECT_FALSE(SHA1Help::file_sha1(dir.path() + "/missing"));
  EXPECT_FALSE(MD5::fileMD5(dir.path() + "/missing"));
  EXPECT_FALSE(SHA1Help::file_sha1(dir.path()));  // a directory
  EXPECT_FALSE(MD5::fileMD5(dir.path()));
}

TEST(StoreDigest, Rfc3174AndRfc1321TextVectors) {
  EXPECT_EQ(SHA1Help::sha1("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(SHA1Help::sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(SHA1Help::sha1(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  std::string t4;
  for (int i = 0; i < 10; ++i)
    t4 += "0123456701234567012345670123456701234567012345670123456701234567";
  EXPECT_EQ(SHA1Help::sha1(t4), "dea356a2cddd90c7a7ecedc5ebb563934f460452");

  const std::pair<const char*, const char*> md5[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
       "0",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (auto [text, hex] : md5) {
    EXPECT_EQ(MD5::getLowerMD5ByString(text), hex) << text;
    std::string upper = hex;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(MD5::getUperMD5ByString(text), upper) << text;
  }
}

TEST(StoreDigest, TextEncodingRules) {
  // UTF-8 bytes of non-ASCII text ("截屏" = e6 88 aa e5 b1 8f).
  EXPECT_EQ(SHA1Help::sha1("截屏"), SHA1Help::sha1(std::string("\xe6\x88\xaa\xe5\xb1\x8f")));
  EXPECT_NE(SHA1Help::sha1("截屏"), SHA1Help::sha1("?"));
  // sha1 hashes every byte; the MD5 text forms stop at the first zero byte.
  EXPECT_NE(SHA1Help::sha1(std::string("ab\0c", 4)), SHA1Help::sha1("ab"));
  EXPECT_EQ(MD5::getLowerMD5ByString(std::string("abc\0def", 7)), MD5::getLowerMD5ByString("abc"));
}

namespace {

// Counts reads; on the read numbered `trigger` hands control to another thread,
// which sets the cancel flag, and returns only once the flag is set.
class CountingFileSystem : public platform::FileSystemWrapper {
 public:
  CountingFileSystem() : FileSystemWrapper(platform::FileSystem::Default()) {}
  std::atomic<int> reads{0};
  int trigger = -1;
  std::mutex mu;
  std::condition_variable cv;
  bool reached = false;
  std::atomic<bool>* flag = nullptr;

  std::unique_ptr<platform::SequentialFile> openSequential(const std::string& p) override {
    auto inner = target_.openSequential(p);
    if (!inner) return nullptr;
    return std::make_unique<Counting>(std::move(inner), this);
  }

 private:
  class Counting : public platform::SequentialFile {
   public:
    Counting(std::unique_ptr<platform::SequentialFile> f, CountingFileSystem* owner)
        : f_(std::move(f)), owner_(owner) {}
    int64_t read(char* buf, size_t n) override {
      int count = ++owner_->reads;
      int64_t r = f_->read(buf, n);
      if (count == owner_->trigger) {
        std::unique_lock<std::mutex> lock(owner_->mu);
        owner_->reached = true;
        owner_->cv.notify_all();
        owner_->cv.wait(lock, [&] { return owner_->flag->load(); });
      }
      return r;
    }
    bool seek(int64_t o) override { return f_->seek(o); }

   private:
    std::unique_ptr<platform::SequentialFile> f_;
    CountingFileSystem* owner_;
  };
};

}  // namespace

TEST(StoreDigest, CancelFromAnotherThreadStopsWithinOneChunk) {
  TempDir dir;
  std::string path = dir.path() + "/sparse";
  { std::ofstream(path).flush(); }
  fs::resize_file(path, 1ull << 30);  // 1 GiB, sparse: costs no disk

  CountingFileSystem counting;
  std::atomic<bool> cancel{false};
  counting.flag = &cancel;
  counting.trigger = 50;
  std::optional<std::string> r;
  {
    ScopedDefault<platform::FileSystem> scope(counting);
    std::thread canceller([&] {
      std::unique_lock<std::mutex> lock(counting.mu);
      counting.cv.wait(lock, [&] { return counting.reached; });
      cancel.store(true);
      counting.cv.notify_all();
    });
    r = SHA1Help::file_sha1(path, &cancel);
    canceller.join();
  }
  EXPECT_FALSE(r);
  EXPECT_EQ(counting.reads.load(), 50);
}

TEST(StoreDigest, CancelFlagAlreadySet) {
  TempDir dir;
  std::atomic<bool> cancel{true};
  std::string empty = dir.path() + "/empty", one = dir.path() + "/one";
  { std::ofstream(empty).flush(); }
  { std::ofstream(one) << "x"; }
  EXPECT_EQ(SHA1Help::file_sha1(empty, &cancel), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_FALSE(SHA1Help::file_sha1(one, &cancel));
  std::atomic<bool> clear{false};
  EXPECT_EQ(SHA1Help::file_sha1(one, &clear), "11f6ad8ec52a2984abaafd7c3b516503785c2072");
}

TEST(StoreBase64, Rfc4648Vectors) {
  const std::pair<const char*, const char*> v[] = {
      {"f", "Zg=="},        {"fo", "Zm8="},        {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  EXPECT_EQ(NSStringToBase64::encodeBase64(""), "");
  for (auto [plain, enc] : v) {
    EXPECT_EQ(NSStringToBase64::encodeBase64(plain), enc);
    EXPECT_EQ(NSStringToBase64::webSafeEncodeBase64(plain), enc);
    EXPECT_EQ(NSDataToBase64Encoding::encodeBase64(plain), enc);
    EXPECT_EQ(NSStringToBase64::decodeBase64(enc), plain);
    EXPECT_EQ(NSStringToBase64::webSafeDecodeBase64(enc), plain);
    EXPECT_EQ(NSDataToBase64Encoding::decodeBase64(enc), plain);
  }
}

TEST(StoreBase64, AlphabetsDiffer) {
  const std::string fbff("\xfb\xff", 2);
  EXPECT_EQ(NSDataToBase64Encoding::encodeBase64(fbff), "-_8=");
  EXPECT_EQ(NSStringToBase64::webSafeEncodeBase64(fbff), "-_8=");
  EXPECT_EQ(NSStringToBase64::encodeBase64(fbff), "+/8=");
  EXPECT_EQ(NSStringToBase64::dataByDecodeBase64("+/8="), fbff);
  // The data class decodes the standard alphabet only.
  EXPECT_EQ(NSDataToBase64Encoding::decodeBase64("+/8="), fbff);
  EXPECT_FALSE(NSDataToBase64Encoding::decodeBase64("-_8="));
  // Every byte value survives a round trip; no line breaks in long output.
  std::string all;
  for (int i = 0; i < 256 * 4; ++i) all += static_cast<char>(i & 0xff);
  std::string enc = NSStringToBase64::encodeBase64(all);
  EXPECT_EQ(enc.find('\n'), std::string::npos);
  EXPECT_EQ(enc.size() % 4, 0u);
  EXPECT_EQ(NSStringToBase64::dataByDecodeBase64(enc), all);
}

TEST(StoreBase64, InvalidTextGivesNoResult) {
  const char* bad[] = {"",         "Zg",   "Zg=",  "Z===", "Zm9v\n",          "Zm 9v",
                       "Zg==Zg==", "=Zg=", "Zm9*", "Zm=v", "\xff\xff\xff\xff"};
  for (const char* b : bad) {
    EXPECT_FALSE(NSStringToBase64::dataByDecodeBase64(b)) << b;
    EXPECT_FALSE(NSDataToBase64Encoding::decodeBase64(b)) << b;
    EXPECT_FALSE(NSStringToBase64::webSafeDecodeBase64(b)) << b;
  }
  // Valid Base64 of bytes that aren't UTF-8 is no text.
  EXPECT_FALSE(NSStringToBase64::decodeBase64("/w=="));
  EXPECT_TRUE(NSStringToBase64::dataByDecodeBase64("/w=="));
  EXPECT_EQ(NSStringToBase64::decodeBase64(NSStringToBase64::encodeBase64("截屏")), "截屏");
}

#include <plist/plist.h>

#include "Platform/Files/PropertyList.h"

// The store is written by PropertyList's direct XML writer; it must give
// exactly what libplist gives for the same value (escaping, empty containers,
// negative numbers, nesting), and values of other types still go to libplist.
TEST(StorePlistXml, DirectWriterMatchesLibplist) {
  using namespace quillbox::platform;
  PlistDict rec;
  rec.set("path", PlistValue("/a/Documents/x & <y>.png"));
  rec.set("size", PlistValue::integer(-7));
  rec.set("big", PlistValue::integer(int64_t{1} << 40));
  rec.set("flag", PlistValue::boolean(false));
  rec.set("on", PlistValue::boolean(true));
  rec.set("empty", PlistValue(""));
  rec.set("截屏", PlistValue("手机截屏"));
  PlistDict top;
  top.set("root", PlistValue(PlistArray{}));
  top.set("e", PlistValue(PlistDict{}));
  top.set("alice",
          PlistValue(PlistArray{PlistValue(rec), PlistValue(PlistArray{PlistValue("n")})}));
  auto viaLibplist = [](const PlistValue& v) {
    // Through the binary form, so that libplist builds its own nodes.
    std::string bin = PropertyList::toBinary(v);
    plist_t node = nullptr;
    plist_from_bin(bin.data(), static_cast<uint32_t>(bin.size()), &node);
    char* xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(node, &xml, &len);
    std::string out(xml, len);
    plist_to_xml_free(xml);
    plist_free(node);
    return out;
  };
  EXPECT_EQ(PropertyList::toXml(PlistValue(top)), viaLibplist(PlistValue(top)));
  auto back = PropertyList::parse(PropertyList::toXml(PlistValue(top)));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, PlistValue(top));
  top.set("when", PlistValue::date(1700000000.5));
  top.set("ratio", PlistValue::real(0.25));
  top.set("bytes", PlistValue::data("\x01\x02"));
  EXPECT_EQ(PropertyList::toXml(PlistValue(top)), viaLibplist(PlistValue(top)));
}
