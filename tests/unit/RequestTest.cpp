// Request layer, HTTP service, keychain and automatic login against an
// in-process cpp-httplib server on 127.0.0.1 (ephemeral port).
// ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "AppURL.h"
#include "AutoLogin/AutoLogin.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Files/Keychain.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Loop/NotificationCenter.h"
#include "Platform/Net/HttpClient.h"
#include "Platform/Net/Reachability.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Request/ServiceReachability.h"
#include "Request/Z_Request.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using namespace quillbox;
using namespace quillbox::platform;

namespace {

// A server on a thread of its own; stopped and joined on destruction.
class TestServer {
 public:
  TestServer() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~TestServer() {
    server_.stop();
    thread_.join();
  }
  httplib::Server& server() { return server_; }
  int port() const { return port_; }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/3/"; }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

// A sandbox container: AppURL points at it, plists in Library.
class RequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    container_ = dir_.path() + "/container";
    fs::create_directories(container_ + "/Library");
    fs::create_directories(container_ + "/Documents");
    fs::create_directories(dir_.path() + "/bundle");
    PropertyList::write(dir_.path() + "/bundle/Info.plist",
                        PlistValue(dict({{"CFBundleVersion", PlistValue("9.8.7")}})));
    settings_.set("QUILLBOX_MAIN_BUNDLE", dir_.path() + "/bundle");
    containerScope_.set(container_);
  }

  static PlistDict dict(std::initializer_list<std::pair<const char*, PlistValue>> items) {
    PlistDict d;
    for (const auto& [k, v] : items) d.set(k, v);
    return d;
  }
  void lib(const std::string& name, const PlistValue& value) {
    ASSERT_TRUE(PropertyList::write(container_ + "/Library/" + name, value));
  }
  void useServer(const TestServer& s) {
    lib(Z_Request::kLocalPlist, PlistValue(dict({{"url", PlistValue(s.base())}})));
  }

  TempDir dir_;
  std::string container_;
  ScopedSettings settings_;
  ScopedContainer containerScope_;
};

}  // namespace

TEST_F(RequestTest, GetHandsOverClientErrorsButNotServerErrors) {
  TestServer s;
  s.server().Get("/3/file/length.json", [](const httplib::Request& req, httplib::Response& res) {
    if (req.get_param_value("id") == "missing") {
      res.status = 404;
      res.set_content("{\"error\":\"no such file\"}", "application/json");
    } else {
      res.status = 500;
      res.set_content("boom", "text/plain");
    }
  });
  useServer(s);
  EXPECT_EQ(Z_Request::getObj("file/length.json?id=missing"), "{\"error\":\"no such file\"}");
  EXPECT_EQ(Z_Request::getObj("file/length.json?id=other"), std::nullopt);
}

TEST_F(RequestTest, TransportFailureGivesCodeZero) {
  int port;
  {
    TestServer s;  // take a free port, then close it
    port = s.port();
  }
  lib(Z_Request::kLocalPlist,
      PlistValue(dict({{"url", PlistValue("http://127.0.0.1:" + std::to_string(port) + "/3/")}})));
  RequestResult r = Z_Request::postWithString("a=1", "file/safe.json");
  EXPECT_EQ(r.code, 0);
  EXPECT_FALSE(r.respone);
  EXPECT_EQ(Z_Request::getObj("file/length.json?id=1"), std::nullopt);
}

TEST_F(RequestTest, PostBodiesAndEscaping) {
  TestServer s;
  std::mutex mu;
  std::vector<std::pair<std::string, std::string>> seen;  // content type, body
  s.server().Post("/3/file/safe.json", [&](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(mu);
    seen.emplace_back(req.get_header_value("Content-Type") + "|" +
                          req.get_header_value("Content-Length") + "|" +
                          req.get_header_value("Authorization"),
                      req.body);
    res.status = 201;
    res.set_content("{\"id\":\"7\"}", "application/json");
  });
  useServer(s);
  lib(Z_Request::kWebInfoPlist, PlistValue(dict({{"access_token", PlistValue("tok")}})));

  RequestResult r = Z_Request::postWithString("", "file/safe.json", true);
  EXPECT_EQ(r.code, 201);
  EXPECT_EQ(r.respone, "{\"id\":\"7\"}");
  Z_Request::postWithString("a=1 2&b=+x", "file/safe.json");
  Z_Request::postWithString("a=1 2&b=+x", "file/safe.json", false);
  FormBody form;
  form.add("hash", "h&x=1").add("size", int64_t{12});
  Z_Request::postWithString(form, "file/safe.json");
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].first, "application/x-www-form-urlencoded|0|OAuth2 tok");
  EXPECT_EQ(seen[0].second, "");
  EXPECT_EQ(seen[1].second, "a=1%202&b=%2Bx");
  EXPECT_EQ(seen[2].second, "a=1 2&b=+x");
  EXPECT_EQ(seen[3].second, "hash=h%26x%3D1&size=12");
}

TEST_F(RequestTest, CommonHeadersAndLogLinesComeInTheirOrder) {
  TestServer s;
  s.server().Post("/3/file/safe.json", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("{}", "application/json");
  });
  useServer(s);
  lib(Z_Request::kWebInfoPlist, PlistValue(dict({{"access_token", PlistValue("tok")}})));
  EXPECT_EQ(Z_Request::setHeader(),
            (HttpHeaders{{"Authorization", "OAuth2 tok"},
                         {"Accept", "application/json"},
                         {"Connection", "Keep-Alive"},
                         {"User-Client", "da-zu"},
                         {"Content-Type", "application/x-www-form-urlencoded"},
                         {"Accept-Language", "zh-CN,zh"},
                         {"Accept-Charset", "GBK,utf-8"},
                         {"User-Agent", "QuillBoxiOS/9.8.7"}}));
  std::mutex mu;
  std::vector<std::string> lines;
  {
    ScopedLogSink sink([&](const std::string& line) {
      std::lock_guard<std::mutex> lock(mu);
      lines.push_back(line.substr(0, line.find_first_of(":=") + 1));
    });
    FormBody form;
    form.add("a", "1");
    Z_Request::postWithString("a=1", "file/safe.json");
    Z_Request::postWithString(form, "file/safe.json");
  }
  const std::vector<std::string> one = {"userDic:", "postString =", "uri:", "result:"};
  std::vector<std::string> both = one;
  both.insert(both.end(), one.begin(), one.end());
  EXPECT_EQ(lines, both);
}

TEST_F(RequestTest, ServerFormateKeepsOnlyUtf8Bodies) {
  EXPECT_EQ(Z_Request::serverFormate(200, std::string("ok")).respone, "ok");
  EXPECT_FALSE(Z_Request::serverFormate(200, std::string("\xff\xfe", 2)).respone);
  EXPECT_EQ(Z_Request::serverFormate(401, std::nullopt).code, 401);
}

TEST_F(RequestTest, PathsUrlsAndChunkUploadRequest) {
  EXPECT_EQ(Z_Request::getAppDocFilePath(""), container_ + "/Documents");
  EXPECT_EQ(Z_Request::getAppDocFilePath("a.png"), container_ + "/Documents/a.png");
  EXPECT_EQ(Z_Request::getAppLibFilePath("x.plist"), container_ + "/Library/x.plist");
  EXPECT_EQ(Z_Request::stringURLEncode("https://h/3/a b?x=1&y=证%"),
            "https://h/3/a%20b?x=1&y=%E8%AF%81%25");
  lib(Z_Request::kLocalPlist, PlistValue(dict({{"url", PlistValue("https://h:8443/3/")}})));
  EXPECT_EQ(Z_Request::chunkUploadURL("abc", 1024),
            "https://h:8443/3/file/upload.json?id=abc&index=1024");
  HttpHeaders h = Z_Request::chunkUploadHeaders(99);
  ASSERT_EQ(h.size(), 9u);
  EXPECT_EQ(h[4],
            (std::pair<std::string, std::string>("Content-Type", "application/octet-stream")));
  EXPECT_EQ(h[7], (std::pair<std::string, std::string>("User-Agent", "QuillBoxiOS/9.8.7")));
  EXPECT_EQ(h[8], (std::pair<std::string, std::string>("Content-Length", "99")));
}

TEST_F(RequestTest, RecordLookups) {
  lib("com.velmor.userinfo.plist", PlistValue(dict({{"userName", PlistValue("alice")}})));
  PlistArray props{
      PlistValue(dict({{"path", PlistValue("/old/container/Documents/ScreenShot/alice/a.png")},
                       {"sha1", PlistValue("s1")}})),
      PlistValue(dict({{"path", PlistValue("loose.png")}, {"sha1", PlistValue("s2")}}))};
  lib(Z_Request::kFilesPropertyPlist, PlistValue(dict({{"alice", PlistValue(props)}})));
  // Equality of the part after "Documents": another container still matches.
  auto rec = Z_Request::getFilePropertyWithPath(container_ + "/Documents/ScreenShot/alice/a.png");
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->getString("sha1"), "s1");
  EXPECT_FALSE(Z_Request::getFilePropertyWithPath("loose.png"));  // query without Documents
  EXPECT_FALSE(Z_Request::getFilePropertyWithPath(container_ + "/Documents/ScreenShot/alice/a"));
  // Containment of the part from "/Documents/" on.
  auto v = Z_Request::getFilePropertyWithPath(container_ + "/Documents/ScreenShot/alice/a", "sha1");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->stringValue(), "s1");
  auto whole = Z_Request::getFilePropertyWithPath("/x/Documents/ScreenShot/alice/a.png", "");
  ASSERT_TRUE(whole && whole->asDict());
  EXPECT_FALSE(Z_Request::getFilePropertyWithPath("/x/Documents/ScreenShot/alice/a.png", "nokey"));
  EXPECT_FALSE(Z_Request::getFilePropertyWithPath("/x/ScreenShot/a.png", ""));

  EXPECT_FALSE(Z_Request::getUpInfoWithPath("/p/Documents/a.png"));  // no plist
  PlistArray up{PlistValue(dict({{"path", PlistValue("/p/Documents/a.png")}}))};
  lib(Z_Request::kUpInfoPlist, PlistValue(dict({{"alice", PlistValue(up)}})));
  EXPECT_TRUE(Z_Request::getUpInfoWithPath("/p/Documents/a.png"));
  EXPECT_FALSE(Z_Request::getUpInfoWithPath("/q/Documents/a.png"));
  lib("com.velmor.userinfo.plist", PlistValue(dict({{"userName", PlistValue("bob")}})));
  EXPECT_FALSE(Z_Request::getUpInfoWithPath("/p/Documents/a.png"));
}

// --- HttpUpload ------------------------------------------------------------

namespace {

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
  return s;
}

struct UploadLog {
  std::vector<int64_t> blocks;
  std::vector<long> finishes;
  std::vector<std::string> failures;
  HttpUpload::Callbacks callbacks() {
    return {[this](int64_t b) { blocks.push_back(b); }, [this](long s) { finishes.push_back(s); },
            [this](std::string e) { failures.push_back(std::move(e)); }};
  }
  int64_t sum() const {
    int64_t t = 0;
    for (auto b : blocks) t += b;
    return t;
  }
};

}  // namespace

TEST_F(RequestTest, UploadStreamsTheRestOfTheFileFromTheOffset) {
  TestServer s;
  std::string received, contentLength, contentType, index;
  s.server().Post("/3/file/upload.json", [&](const httplib::Request& req, httplib::Response& res) {
    received = req.body;
    contentLength = req.get_header_value("Content-Length");
    contentType = req.get_header_value("Content-Type");
    index = req.get_param_value("index");
    res.set_content("{}", "application/json");
  });
  useServer(s);
  const std::string file = dir_.path() + "/big.bin";
  const std::string data = pattern(1000000);
  writeFile(file, data);
  const int64_t offset = 123457;
  UploadLog log;
  HttpUpload up(Z_Request::chunkUploadURL("f1", offset), Z_Request::chunkUploadHeaders(1), file,
                offset, Z_Request::kChunkUploadTimeoutSeconds, log.callbacks());
  up.run();
  EXPECT_TRUE(log.failures.empty()) << (log.failures.empty() ? "" : log.failures[0]);
  ASSERT_EQ(log.finishes, std::vector<long>{200});
  EXPECT_EQ(received, data.substr(offset));
  EXPECT_EQ(contentLength, std::to_string(data.size() - offset));  // measured, not the given 1
  EXPECT_EQ(contentType, "application/octet-stream");
  EXPECT_EQ(index, std::to_string(offset));
  EXPECT_EQ(log.sum(), static_cast<int64_t>(data.size() - offset));
  EXPECT_GE(log.blocks.size(), 4u);
  for (auto b : log.blocks) EXPECT_LE(b, static_cast<int64_t>(HttpUpload::kBlockSize));
}

TEST_F(RequestTest, UploadOfAFileAtItsEndSendsAnEmptyBody) {
  TestServer s;
  std::string contentLength = "unset";
  s.server().Post("/3/file/upload.json", [&](const httplib::Request& req, httplib::Response& res) {
    contentLength = req.get_header_value("Content-Length");
    res.status = 200;
  });
  useServer(s);
  const std::string file = dir_.path() + "/small.bin";
  writeFile(file, "12345");
  UploadLog log;
  HttpUpload up(Z_Request::chunkUploadURL("f1", 5), Z_Request::chunkUploadHeaders(0), file, 5, 20,
                log.callbacks());
  up.run();
  EXPECT_EQ(log.finishes, std::vector<long>{200});
  EXPECT_EQ(contentLength, "0");
  EXPECT_EQ(log.sum(), 0);
}

TEST_F(RequestTest, UploadOfAFileShorterThanTheOffsetFailsWithoutRequest) {
  TestServer s;
  std::atomic<int> hits{0};
  s.server().Post("/3/file/upload.json",
                  [&](const httplib::Request&, httplib::Response&) { ++hits; });
  useServer(s);
  const std::string file = dir_.path() + "/short.bin";
  writeFile(file, "abc");
  UploadLog log;
  HttpUpload up(Z_Request::chunkUploadURL("f1", 10), Z_Request::chunkUploadHeaders(0), file, 10, 20,
                log.callbacks());
  up.run();
  ASSERT_EQ(log.failures.size(), 1u);
  EXPECT_NE(log.failures[0].find("fewer than the upload offset"), std::string::npos);
  EXPECT_TRUE(log.finishes.empty());
  EXPECT_EQ(hits.load(), 0);
}

namespace {
// A file system whose sequential files end early: the file "shrinks" while it is sent.
class ShrinkingFileSystem : public FileSystemWrapper {
 public:
  using FileSystemWrapper::FileSystemWrapper;
  class Half : public SequentialFile {
   public:
    explicit Half(std::unique_ptr<SequentialFile> f) : f_(std::move(f)) {}
    int64_t read(char* buf, size_t n) override {
      if (given_ >= 300000) return 0;
      int64_t r = f_->read(buf, std::min<size_t>(n, 300000 - given_));
      if (r > 0) given_ += r;
      return r;
    }
    bool seek(int64_t o) override { return f_->seek(o); }

   private:
    std::unique_ptr<SequentialFile> f_;
    int64_t given_ = 0;
  };
  std::unique_ptr<SequentialFile> openSequential(const std::string& p) override {
    return std::make_unique<Half>(target_.openSequential(p));
  }
};
}  // namespace

TEST_F(RequestTest, UploadOfAFileThatShrinksFails) {
  TestServer s;
  s.server().Post("/3/file/upload.json",
                  [&](const httplib::Request&, httplib::Response& res) { res.status = 200; });
  useServer(s);
  const std::string file = dir_.path() + "/shrink.bin";
  writeFile(file, pattern(600000));
  ShrinkingFileSystem shrinking(FileSystem::Default());
  UploadLog log;
  {
    ScopedDefault<FileSystem> scope(shrinking);
    HttpUpload up(Z_Request::chunkUploadURL("f1", 0), Z_Request::chunkUploadHeaders(0), file, 0, 20,
                  log.callbacks());
    up.run();
  }
  ASSERT_EQ(log.failures.size(), 1u);
  EXPECT_NE(log.failures[0].find("shrank"), std::string::npos);
  EXPECT_TRUE(log.finishes.empty());
}

TEST_F(RequestTest, CancelEndsAStalledUploadWithoutFurtherCallbacks) {
  TestServer s;
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  std::atomic<bool> entered{false};
  // The handler never reads the body until released: the upload stalls.
  s.server().Post("/3/file/upload.json", [&](const httplib::Request&, httplib::Response& res,
                                             const httplib::ContentReader&) {
    entered = true;
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return release; });
    res.status = 200;
  });
  useServer(s);
  const std::string file = dir_.path() + "/stall.bin";
  writeFile(file, pattern(8 * 1024 * 1024));
  UploadLog log;
  std::atomic<bool> ended{false};
  HttpUpload up(Z_Request::chunkUploadURL("f1", 0), Z_Request::chunkUploadHeaders(0), file, 0, 60,
                log.callbacks());
  std::thread runner([&] {
    up.run();
    ended = true;
  });
  while (!entered) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  up.cancel();
  runner.join();  // returns without the server ever answering
  EXPECT_TRUE(ended);
  EXPECT_TRUE(log.finishes.empty());
  EXPECT_TRUE(log.failures.empty());
  {
    std::lock_guard<std::mutex> lock(mu);
    release = true;
  }
  cv.notify_all();
}

// --- Keychain and reachability ----------------------------------------------

TEST_F(RequestTest, KeychainReadsOwnerOnlyFiles) {
  const std::string path = dir_.path() + "/keychain.plist";
  settings_.set("QUILLBOX_KEYCHAIN", path);
  PlistArray items{PlistValue(dict({{"generic", PlistValue("quillbox")},
                                    {"accessGroup", PlistValue("other")},
                                    {"comment", PlistValue("wrong")}})),
                   PlistValue(dict({{"generic", PlistValue("quillbox")},
                                    {"accessGroup", PlistValue("com.velmor.quillbox")},
                                    {"comment", PlistValue("s3cret")}}))};
  writeFile(path, PropertyList::toBinary(PlistValue(items)));
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(Keychain::Default().passwordFor("quillbox", "com.velmor.quillbox"), "s3cret");
  EXPECT_FALSE(Keychain::Default().passwordFor("quillbox", "nogroup"));
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                            fs::perms::others_read);
  EXPECT_FALSE(Keychain::Default().passwordFor("quillbox", "com.velmor.quillbox"));
  settings_.set("QUILLBOX_KEYCHAIN", dir_.path() + "/missing.plist");
  EXPECT_FALSE(Keychain::Default().passwordFor("quillbox", "com.velmor.quillbox"));
}

TEST_F(RequestTest, Reachability) {
  std::string host;
  int port = 0;
  ASSERT_TRUE(Reachability::hostAndPort("https://api.example:8443/3/", &host, &port));
  EXPECT_EQ(host, "api.example");
  EXPECT_EQ(port, 8443);
  ASSERT_TRUE(Reachability::hostAndPort("https://[::1]/3/", &host, &port));
  EXPECT_EQ(host, "::1");
  EXPECT_EQ(port, 443);
  EXPECT_FALSE(Reachability::hostAndPort("no url", &host, &port));
  EXPECT_TRUE(Reachability::Default().isReachable("127.0.0.1", 9));
  EXPECT_FALSE(Reachability::Default().isReachable("", 443));
  EXPECT_FALSE(ServiceReachability::isServiceReachable());  // no local plist
  lib(Z_Request::kLocalPlist, PlistValue(dict({{"url", PlistValue("http://127.0.0.1:1/3/")}})));
  EXPECT_TRUE(ServiceReachability::isServiceReachable());
}

TEST_F(RequestTest, ReachabilityNeverWaitsForASlowNameResolution) {
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  std::atomic<int> calls{0};
  Reachability::setResolverForTesting(
      [&](const std::string&) -> std::optional<std::vector<std::string>> {
        ++calls;
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [&] { return release; });
        return std::vector<std::string>{"127.0.0.1"};
      },
      std::chrono::milliseconds(20));
  // The resolver is held: both answers come without it (nothing kept yet), and
  // the second call joins the resolution that runs.
  EXPECT_FALSE(Reachability::Default().isReachable("slow.example", 443));
  EXPECT_FALSE(Reachability::Default().isReachableURL("https://slow.example/3/"));
  EXPECT_EQ(calls.load(), 1);
  {
    std::lock_guard<std::mutex> lock(mu);
    release = true;
  }
  cv.notify_all();
  // Once it has ended, its answer is kept and used without resolving again.
  bool reachable = false;
  for (int i = 0; i < 6000 && !reachable; ++i) {  // a minute at most
    reachable = Reachability::Default().isReachable("slow.example", 443);
    if (!reachable) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(reachable);
  EXPECT_EQ(calls.load(), 1);
  Reachability::setResolverForTesting(nullptr, {});
}

TEST_F(RequestTest, ReachabilityUsesAStaleAnswerWhileItRefreshes) {
  // Every answer is stale at once; the wait is longer than any test run, so
  // a check that waited for the held resolver would never return.
  std::mutex mu;
  std::condition_variable cv;
  bool hold = false;
  std::atomic<bool> resolves{true};
  Reachability::setResolverForTesting(
      [&](const std::string&) -> std::optional<std::vector<std::string>> {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [&] { return !hold; });
        if (!resolves) return std::nullopt;
        return std::vector<std::string>{"127.0.0.1"};
      },
      std::chrono::hours(1), std::chrono::milliseconds(0));
  ASSERT_TRUE(Reachability::Default().resolve("stale.example"));  // waits: nothing kept yet
  {
    std::lock_guard<std::mutex> lock(mu);
    hold = true;
  }
  resolves = false;
  // The refresh is held; the kept addresses answer.
  EXPECT_TRUE(Reachability::Default().isReachable("stale.example", 443));
  {
    std::lock_guard<std::mutex> lock(mu);
    hold = false;
  }
  cv.notify_all();
  // resolve() waits for the refresh, which now finds nothing.
  EXPECT_FALSE(Reachability::Default().resolve("stale.example"));
  Reachability::setResolverForTesting(nullptr, {});
}

// --- Automatic login ----------------------------------------------------------

TEST_F(RequestTest, ConcurrentStartsRunOneAttempt) {
  TestServer s;
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  std::atomic<int> logins{0};
  s.server().Post("/3/login.json", [&](const httplib::Request&, httplib::Response& res) {
    ++logins;
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return release; });
    res.set_content("<result><type>0</type><access_token>T</access_token></result>",
                    "application/xml");
  });
  useServer(s);
  lib("com.velmor.userinfo.plist", PlistValue(dict({{"userName", PlistValue("alice")},
                                                    {"usernamelogin", PlistValue("alice")}})));
  const std::string keychain = dir_.path() + "/keychain.plist";
  settings_.set("QUILLBOX_KEYCHAIN", keychain);
  PlistArray items{PlistValue(dict({{"generic", PlistValue("quillbox")},
                                    {"accessGroup", PlistValue("com.velmor.quillbox")},
                                    {"comment", PlistValue("pw")}}))};
  PropertyList::write(keychain, PlistValue(items));
  fs::permissions(keychain, fs::perms::owner_read | fs::perms::owner_write);

  std::mutex noticeMu;
  std::vector<std::string> notices;
  auto& center = NotificationCenter::Default();
  uint64_t id = center.addObserver("", [&](const Notification& n) {
    std::lock_guard<std::mutex> lock(noticeMu);
    std::string object;
    if (auto* o = std::any_cast<std::string>(&n.object)) object = *o;
    notices.push_back(n.name + (object.empty() ? "" : ":" + object));
  });

  auto& login = AutoLogin::sharedAutoLogin();
  std::vector<std::thread> starters;
  for (int i = 0; i < 4; ++i) starters.emplace_back([&] { login.toAutoLogin(); });
  for (auto& t : starters) t.join();
  bool waited = false;
  std::thread waiter([&] { waited = login.toAutoLoginAndWait(std::chrono::seconds(60)); });
  // The reply is held until the waiter has joined the running attempt.
  while (logins.load() == 0 || login.waitersForTesting() == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  {
    std::lock_guard<std::mutex> lock(mu);
    release = true;
  }
  cv.notify_all();
  waiter.join();
  EXPECT_TRUE(waited);
  EXPECT_EQ(logins.load(), 1);
  EXPECT_EQ(PropertyList::readDictionary(container_ + "/Library/" + Z_Request::kWebInfoPlist)
                .getString("access_token"),
            "T");
  // Wait for the worker's last notification, the outcome.
  auto outcomePosted = [&] {
    std::lock_guard<std::mutex> lock(noticeMu);
    return !notices.empty() && notices.back().rfind("AutoLoginNotice:", 0) == 0;
  };
  for (int i = 0; i < 12000 && !outcomePosted(); ++i)  // a minute at most
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  center.removeObserver(id);
  std::lock_guard<std::mutex> lock(noticeMu);
  EXPECT_EQ(notices, (std::vector<std::string>{"updateUser", "AutoLoginNotice:AutoLoginSeccess"}));
}

TEST_F(RequestTest, MissingPasswordFailsWithoutRequest) {
  TestServer s;
  std::atomic<int> hits{0};
  s.server().Post(".*", [&](const httplib::Request&, httplib::Response&) { ++hits; });
  useServer(s);
  lib("com.velmor.userinfo.plist", PlistValue(dict({{"userName", PlistValue("alice")},
                                                    {"usernamelogin", PlistValue("alice")}})));
  settings_.set("QUILLBOX_KEYCHAIN", dir_.path() + "/none.plist");
  EXPECT_FALSE(AutoLogin::sharedAutoLogin().toAutoLoginAndWait(std::chrono::seconds(30)));
  EXPECT_FALSE(AutoLogin::sharedAutoLogin().isGetting());
  EXPECT_EQ(hits.load(), 0);
}
