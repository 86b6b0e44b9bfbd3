// The older uploader (FileUploadConnection, UploadManager) and the older
// request forms against an in-process service on 127.0.0.1: the delegate's
// reports across chunks, every way a chunked upload ends, the record's
// display fields and notifications, and the cookie forms' bodies and replies.
// ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "AppURL.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Loop/NotificationCenter.h"
#include "Platform/Loop/RunLoop.h"
#include "Platform/UI/UserInterface.h"
#include "Request/Z_Request.h"
#include "SHA1Help/SHA1Help.h"
#include "TestSupport.h"
#include "Upload/UploadManager.h"

using namespace quillbox;
using namespace quillbox::platform;
namespace fs = std::filesystem;

namespace {

constexpr int64_t kMiB = FileUploadConnection::kChunkSize;

// Records every request; `reply` decides each answer (index from 0).
class Service {
 public:
  std::function<void(size_t index, const httplib::Request&, httplib::Response&)> reply;

  Service() {
    server_.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
      size_t index;
      {
        std::lock_guard<std::mutex> lock(mu_);
        index = requests_.size();
        requests_.push_back(req);
      }
      res.set_content("<result/>", "application/xml");
      if (reply) reply(index, req, res);
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~Service() {
    server_.stop();
    thread_.join();
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/3/"; }
  std::vector<httplib::Request> requests() {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mu_;
  std::vector<httplib::Request> requests_;
};

// A service that keeps the exact bytes of every request (the header block and
// the body) and answers each in two writes, the header block and then the
// body, the way a service with Nagle's algorithm on sends a reply in pieces.
class WireService {
 public:
  struct Request {
    std::string head, body;
    int connection;
  };

  WireService() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::listen(listener_, 4) == 0 &&
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~WireService() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/3/"; }
  std::vector<Request> requests() {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }

 private:
  void serve() {
    for (int n = 0;; ++n) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      std::string in;
      char buf[65536];
      for (;;) {
        const size_t end = in.find("\r\n\r\n");
        if (end != std::string::npos) {
          Request r{in.substr(0, end + 4), "", n};
          const size_t at = r.head.find("Content-Length: ");
          const size_t length = at == std::string::npos ? 0 : std::stoul(r.head.substr(at + 16));
          if (in.size() >= end + 4 + length) {
            r.body = in.substr(end + 4, length);
            in.erase(0, end + 4 + length);
            {
              std::lock_guard<std::mutex> lock(mu_);
              requests_.push_back(r);
            }
            const std::string head =
                "HTTP/1.1 200 OK\r\nContent-Type: application/xml\r\nContent-Length: 9\r\n\r\n";
            if (::write(fd, head.data(), head.size()) < 0 || ::write(fd, "<result/>", 9) < 0) break;
            continue;
          }
        }
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got <= 0) break;
        in.append(buf, static_cast<size_t>(got));
      }
      ::close(fd);
    }
  }

  int listener_ = -1, port_ = 0;
  std::thread thread_;
  std::mutex mu_;
  std::vector<Request> requests_;
};

// What a connection told its delegate; stops this thread's loop at the end.
struct Reports : FileUploadConnectionDelegate {
  std::vector<std::pair<int64_t, int64_t>> progress;  // totalWritten, expected
  int finished = 0;
  std::vector<std::string> failures;
  void connectionDidSendBodyData(FileUploadConnection&, int64_t, int64_t total,
                                 int64_t expected) override {
    progress.emplace_back(total, expected);
  }
  void connectionDidFinishLoading(FileUploadConnection&) override {
    ++finished;
    RunLoop::current().stop();
  }
  void connectionDidFailWithError(FileUploadConnection&, const std::string& e) override {
    failures.push_back(e);
    RunLoop::current().stop();
  }
};

struct ManagerReports : UploadManagerDelegate {
  std::vector<int64_t> bytes;
  int finished = 0;
  std::vector<std::string> failures;
  void didSendBodyDataBytes(int64_t b, int64_t) override { bytes.push_back(b); }
  void didFinishSending() override {
    ++finished;
    RunLoop::current().stop();
  }
  void uploadFailed(const std::string& e) override {
    failures.push_back(e);
    RunLoop::current().stop();
  }
};

struct StatusBar : UserInterface {
  std::vector<std::string> messages;
  void showToast(const std::string&, ToastPosition, int) override {}
  void showAlert(std::shared_ptr<AlertView>) override {}
  void showStatusBarMessage(const std::string& t, StatusBarKind, int, bool) override {
    messages.push_back(t);
  }
  void openURL(const std::string&) override {}
  void setIdleTimerDisabled(bool) override {}
};

class LegacyUploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_.file("Library"));
    container_.set(dir_.path());
  }
  template <class S>
  void useService(const S& s, const std::string& cookie = "a=b") {
    PlistDict local, web;
    local.set("url", PlistValue(s.base()));
    web.set("accessToken", PlistValue("tok"));
    web.set("access_token", PlistValue("current"));
    web.set("cookieName", PlistValue("S"));
    web.set("cookieValue", PlistValue(cookie));
    ASSERT_TRUE(PropertyList::write(dir_.file("Library/com.velmor.loacal.plist"), local));
    ASSERT_TRUE(PropertyList::write(dir_.file("Library/com.velmor.webinfo.plist"), web));
  }
  std::string file(int64_t size) {
    std::string bytes(static_cast<size_t>(size), '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 4093);
    writeFile(dir_.file("f.bin"), bytes);
    return bytes;
  }
  static HttpRequest request(const Service& s) {
    HttpRequest r;
    r.url = s.base() + "file/upload.json?service=uploadPlainFileStream&id=1";
    r.method = "POST";
    return r;
  }
  static void runLoop() { RunLoop::current().runFor(std::chrono::seconds(60)); }

  TempDir dir_;
  ScopedContainer container_;
  StatusBar ui_;
  ScopedDefault<UserInterface> uiScope_{ui_};
};

}  // namespace

TEST_F(LegacyUploadTest, ChunksContinueWhereTheLastEndedAndFinishOnce) {
  struct Case {
    int64_t size, offset;
    std::vector<int64_t> chunks;
  } cases[] = {{2 * kMiB + 1, 0, {kMiB, kMiB, 1}}, {kMiB + 9, 8, {kMiB, 1}}, {5, 5, {0}}};
  for (const auto& c : cases) {
    Service s;
    std::string bytes = file(c.size);
    Reports reports;
    auto connection = FileUploadConnection::connectionWithRequest(request(s), &reports,
                                                                  dir_.file("f.bin"), c.offset);
    ASSERT_TRUE(connection);
    runLoop();
    EXPECT_EQ(reports.finished, 1);
    EXPECT_TRUE(reports.failures.empty());
    std::string received;
    std::vector<int64_t> chunks;
    for (const auto& r : s.requests()) {
      received += r.body;
      chunks.push_back(static_cast<int64_t>(r.body.size()));
    }
    EXPECT_EQ(chunks, c.chunks);
    EXPECT_EQ(received, bytes.substr(static_cast<size_t>(c.offset)));
    // The running total grows across chunks; the expected total is the chunk's.
    int64_t last = 0;
    for (const auto& [total, expected] : reports.progress) {
      EXPECT_GT(total, last);
      EXPECT_LE(expected, kMiB);
      last = total;
    }
    EXPECT_EQ(last, c.size - c.offset);
    EXPECT_EQ(connection->startBytes(), c.size);
  }
}

TEST_F(LegacyUploadTest, EveryFailureEndsTheUploadOnce) {
  Service s;
  struct Case {
    const char* what;
    std::function<void(size_t, const httplib::Request&, httplib::Response&)> reply;
    const char* reason;
    size_t requests;
  } cases[] = {
      {"refused chunk", [](size_t i, auto&, auto& res) { res.status = i == 1 ? 500 : 200; },
       "status 500", 2},
      {"file shrinks while it is sent",
       [this](size_t, auto&, auto&) { fs::resize_file(dir_.file("f.bin"), kMiB + 3); }, "shrank",
       1},
  };
  for (const auto& c : cases) {
    file(3 * kMiB);
    s.reply = c.reply;
    size_t before = s.requests().size();
    Reports reports;
    auto connection =
        FileUploadConnection::connectionWithRequest(request(s), &reports, dir_.file("f.bin"), 0);
    ASSERT_TRUE(connection) << c.what;
    runLoop();
    EXPECT_EQ(reports.finished, 0) << c.what;
    ASSERT_EQ(reports.failures.size(), 1u) << c.what;
    EXPECT_NE(reports.failures[0].find(c.reason), std::string::npos) << reports.failures[0];
    EXPECT_EQ(s.requests().size() - before, c.requests) << c.what;
  }
  // No service at all: the transport failure reaches the delegate.
  HttpRequest closed = request(s);
  closed.url = "http://127.0.0.1:1/3/file/upload.json";
  Reports reports;
  auto connection =
      FileUploadConnection::connectionWithRequest(closed, &reports, dir_.file("f.bin"), 0);
  ASSERT_TRUE(connection);
  runLoop();
  EXPECT_EQ(reports.failures.size(), 1u);
  // Nothing is sent for a file that can't be read or an offset past its end.
  EXPECT_FALSE(
      FileUploadConnection::connectionWithRequest(request(s), &reports, dir_.file("missing"), 0));
  EXPECT_FALSE(FileUploadConnection::connectionWithRequest(request(s), &reports, dir_.file("f.bin"),
                                                           kMiB + 4));
}

TEST_F(LegacyUploadTest, ManagerShowsProgressAndEndsWithItsNotifications) {
  Service s;
  useService(s);
  file(kMiB + 100);
  struct Case {
    const char* what;
    std::function<void(size_t, const httplib::Request&, httplib::Response&)> reply;
    bool cancelAtFirstReport;
    const char* state;
    const char* progress;
    int finished, failed;
  } cases[] = {
      {"completion", nullptr, false, "上传完成", "1.000000", 1, 0},
      // All is sent, then the last chunk is refused: 95 % shown, and a failure.
      {"refusal", [](size_t i, auto&, auto& res) { res.status = i % 2 ? 403 : 200; }, false,
       "上传失败", "0.95", 0, 1},
      {"cancel", nullptr, true, "上传失败", nullptr, 0, 0},
  };
  for (const auto& c : cases) {
    s.reply = c.reply;
    ui_.messages.clear();
    auto f = std::make_shared<File>();
    f->setFPath(dir_.file("f.bin"));
    f->setName(std::string("f.bin"));
    f->setFileID(std::string("1"));
    f->setFLen(std::to_string(kMiB + 100));
    auto manager = UploadManager::create();
    ManagerReports reports;
    manager->setDelegate(&reports);
    manager->setFile(f);
    manager->setRang({UploadRange::kNotFound, 0});
    std::vector<std::string> notes;
    auto& center = NotificationCenter::Default();
    uint64_t id = center.addObserver("", [&](const Notification& n) {
      if (n.name == "upload" && std::any_cast<FilePtr>(n.object) == f)
        notes.push_back("upload " + f->fProgress().value_or(""));
      if (n.name == "releaseUpload") {
        EXPECT_EQ(std::any_cast<UploadManager*>(n.object), manager.get());
        notes.push_back("releaseUpload");
        if (c.cancelAtFirstReport) RunLoop::current().stop();
      }
      // Several reports may queue a cancel before the loop stops: the ones
      // left over run in a later test, after this manager is gone.
      if (n.name == "upload" && c.cancelAtFirstReport && manager->isUploading())
        RunLoop::current().perform([weak = std::weak_ptr<UploadManager>(manager)] {
          if (auto m = weak.lock()) m->cancel();
        });
    });
    manager->cancel();  // nothing runs yet: nothing happens
    EXPECT_TRUE(notes.empty());
    ASSERT_TRUE(manager->start()) << c.what;
    EXPECT_EQ(f->fState(), "开始上传");
    runLoop();
    center.removeObserver(id);
    EXPECT_EQ(f->fState(), c.state) << c.what;
    if (c.progress) {
      EXPECT_EQ(f->fProgress(), c.progress) << c.what;
    }
    EXPECT_EQ(reports.finished, c.finished) << c.what;
    EXPECT_EQ(reports.failures.size(), static_cast<size_t>(c.failed)) << c.what;
    ASSERT_GE(notes.size(), 2u);
    EXPECT_EQ(notes.back(), "releaseUpload") << c.what;
    EXPECT_EQ(std::count(notes.begin(), notes.end(), "releaseUpload"), 1) << c.what;
    EXPECT_EQ(ui_.messages.front(), "添加 1 个任务到上传队列!");
    if (c.finished == 0) {
      EXPECT_EQ(ui_.messages.back(), "\"f.bin\"上传失败!") << c.what;
    }
  }
}

// The older uploader's requests, byte for byte: the same URL, fields and order
// for every chunk, each body continuing the last, one connection for all.
TEST_F(LegacyUploadTest, RequestsOnTheWireStayAsTheyWere) {
  WireService s;
  useService(s, "a=b");
  const std::string bytes = file(2 * kMiB + 5);
  auto f = std::make_shared<File>();
  f->setFPath(dir_.file("f.bin"));
  f->setName(std::string("f.bin"));
  f->setFileID(std::string("7"));
  f->setFLen(std::to_string(bytes.size()));
  auto manager = UploadManager::create();
  ManagerReports reports;
  manager->setDelegate(&reports);
  manager->setFile(f);
  manager->setRang({3, 0});
  ASSERT_TRUE(manager->start());
  runLoop();
  EXPECT_EQ(reports.finished, 1);
  const auto requests = s.requests();
  ASSERT_EQ(requests.size(), 3u);
  const size_t sizes[] = {kMiB, kMiB, 2};
  std::string received;
  for (size_t i = 0; i < requests.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(requests[i].head,
              "POST /3/file/upload.json?service=uploadPlainFileStream&id=7 HTTP/1.1\r\n"
              "Host: 127.0.0.1:" +
                  s.base().substr(17, s.base().size() - 20) +
                  "\r\n"
                  "Cookie: S=\"a=b\"\r\n"
                  "Accept: application/xml\r\n"
                  "Connection: Keep-Alive\r\n"
                  "User-Client: da-zu\r\n"
                  "Content-Type: application/octet-stream\r\n"
                  "User-Agent: QuillBoxiOS/\r\n"
                  "Authorization: OAuth2 tok\r\n"
                  "Content-Length: " +
                  std::to_string(sizes[i]) + "\r\n\r\n");
    EXPECT_EQ(requests[i].connection, 0);
    received += requests[i].body;
  }
  EXPECT_EQ(received, bytes.substr(3));
}

TEST_F(LegacyUploadTest, OlderFormsSendCookieBodiesAndGiveTheirReplies) {
  Service s;
  s.reply = [](size_t, const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string("\xff\xfe<r/>"), "application/xml");
  };
  const std::string digest = SHA1Help::sha1(std::string("p+w") + "bob&x");
  struct Case {
    const char* cookie;
    std::function<int()> send;
    std::string body, contentType, cookieField, authorization;
  } cases[] = {
      {"a=b",
       [] {
         auto r = Z_Request::getDataWithString("service=x&v=a b+c", "file/upload.json");
         EXPECT_EQ(r.respone, std::string("\xff\xfe<r/>"));  // raw bytes
         return r.code;
       },
       "service=x&v=a%20b+c", "application/x-www-form-urlencoded", "S=\"a=b\"", "OAuth2 tok"},
      {"plain",
       [] {
         auto r = Z_Request::postWithData(std::string("\0\1", 2), "file/upload.json");
         EXPECT_FALSE(r.respone);  // not UTF-8
         return r.code;
       },
       std::string("\0\1", 2), "application/octet-stream", "S=plain", "OAuth2 tok"},
      {"plain", [] { return Z_Request::putWithLogin("file/upload.json", "bob&x", "p+w").code; },
       "service=login&userName=bob%26x&password=" + digest + "&ios_version=",
       "application/x-www-form-urlencoded", "", ""},
  };
  for (const auto& c : cases) {
    useService(s, c.cookie);
    size_t before = s.requests().size();
    EXPECT_EQ(c.send(), 200);
    const auto requests = s.requests();
    ASSERT_EQ(requests.size(), before + 1);
    const auto& r = requests.back();
    EXPECT_EQ(r.body.substr(0, c.body.size()), c.body);
    EXPECT_EQ(r.get_header_value("Content-Type"), c.contentType);
    EXPECT_EQ(r.get_header_value("Cookie"), c.cookieField);
    EXPECT_EQ(r.get_header_value("Authorization"), c.authorization);
  }
  // The form variant's field order.
  HttpHeaders headers = Z_Request::cookieRequestHeaders(true);
  std::vector<std::string> names;
  for (const auto& h : headers) names.push_back(h.first);
  EXPECT_EQ(names, (std::vector<std::string>{"Cookie", "Accept", "Connection", "User-Client",
                                             "Content-Type", "Accept-Language", "Accept-Charset",
                                             "User-Agent", "Authorization"}));
}
