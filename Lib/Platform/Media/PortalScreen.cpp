#include "Platform/Media/PortalScreen.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "Platform/Media/ImageCodec.h"
#include "Platform/Media/ScreenComposer.h"
#include "Platform/Process/Log.h"

namespace quillbox::platform {
namespace {

const char kPortalName[] = "org.freedesktop.portal.Desktop";
const char kPortalPath[] = "/org/freedesktop/portal/desktop";
const char kScreenshotIface[] = "org.freedesktop.portal.Screenshot";
const char kRequestIface[] = "org.freedesktop.portal.Request";
const char kRequestPrefix[] = "/org/freedesktop/portal/desktop/request/";

// Reasons of refused captures.
constexpr const char* kNoBus =
    "no session bus for the desktop portal (%s; is DBUS_SESSION_BUS_ADDRESS imported?)";
constexpr const char* kNoPortal =
    "the desktop portal is not available on the session bus (%s: install xdg-desktop-portal and "
    "the desktop's portal backend)";
constexpr const char* kCallFailed = "the desktop portal refused the screenshot (%s: %s)";
constexpr const char* kCancelled =
    "the desktop portal's screenshot was cancelled (response 1: allow screenshots for this "
    "program in the desktop's privacy settings)";
constexpr const char* kResponseFailed = "the desktop portal's screenshot failed (response %u)";
constexpr const char* kTimedOut = "time-out: the desktop portal did not answer within %lld ms";
constexpr const char* kBadURI = "the desktop portal answered with no local file (\"%s\")";
constexpr const char* kUnreadable = "cannot read the desktop portal's file %s (%s)";
constexpr const char* kNotPNG = "the desktop portal's file %s is not a readable PNG";
constexpr const char* kLostBus =
    "the session bus connection broke while waiting for the portal (%s)";
constexpr const char* kLogNotRemoved = "Screen: cannot remove the desktop portal's file %s (%s)";

constexpr off_t kMaxFileBytes = off_t{1} << 30;

struct Pending {
  std::string portal;  // the unique name that answered the call
  bool done = false;
  uint32_t response = 2;
  std::string uri;
};

int onResponse(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* p = static_cast<Pending*>(userdata);
  const char* sender = sd_bus_message_get_sender(m);
  if (p->done || (!p->portal.empty() && (!sender || p->portal != sender))) return 0;
  uint32_t code = 2;
  if (sd_bus_message_read(m, "u", &code) < 0) return 0;
  std::string uri;
  if (sd_bus_message_enter_container(m, 'a', "{sv}") > 0) {
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
      const char* key = nullptr;
      const char* contents = nullptr;
      if (sd_bus_message_read(m, "s", &key) < 0) break;
      if (key && std::strcmp(key, "uri") == 0 &&
          sd_bus_message_peek_type(m, nullptr, &contents) >= 0 && contents &&
          std::strcmp(contents, "s") == 0) {
        const char* value = nullptr;
        if (sd_bus_message_read(m, "v", "s", &value) >= 0 && value) uri = value;
      } else {
        sd_bus_message_skip(m, "v");
      }
      sd_bus_message_exit_container(m);
    }
    sd_bus_message_exit_container(m);
  }
  p->uri = std::move(uri);
  p->response = code;
  p->done = true;
  return 1;
}

// The local path of a file:// URI ("file:///p" or "file://localhost/p"),
// percent escapes decoded; nullopt for anything else.
std::optional<std::string> pathOfURI(const std::string& uri) {
  std::string rest;
  if (uri.rfind("file:///", 0) == 0) {
    rest = uri.substr(7);
  } else if (uri.rfind("file://localhost/", 0) == 0) {
    rest = uri.substr(16);
  } else {
    return std::nullopt;
  }
  std::string path;
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '?' || rest[i] == '#') return std::nullopt;
    if (rest[i] != '%') {
      path += rest[i];
      continue;
    }
    auto hex = [](char c) {
      return std::isxdigit(static_cast<unsigned char>(c))
                 ? (std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10)
                 : -1;
    };
    const int hi = i + 1 < rest.size() ? hex(rest[i + 1]) : -1;
    const int lo = i + 2 < rest.size() ? hex(rest[i + 2]) : -1;
    if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) return std::nullopt;
    path += static_cast<char>(hi << 4 | lo);
    i += 2;
  }
  return path;
}

// A file time (what stat() gives) as nanoseconds since the epoch.
using FileTime = decltype(stat::st_mtim);
int64_t nanosecondsOf(const FileTime& t) {
  return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

int64_t coarseNow() {
  // File times come from the coarse clock: compared with it, a file written
  // after this moment never looks older than it.
  FileTime t{};
  clock_gettime(CLOCK_REALTIME_COARSE, &t);
  return nanosecondsOf(t);
}

// Reads the portal's file; removes it when it was written for this request.
ScreenCapture readPortalFile(const std::string& uri, int64_t asked) {
  auto path = pathOfURI(uri);
  if (!path)
    return ScreenCapture::refused(ScreenFailure::Unreadable, strprintf(kBadURI, uri.c_str()));
  const int fd = open(path->c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    return ScreenCapture::refused(ScreenFailure::Unreadable,
                                  strprintf(kUnreadable, path->c_str(), std::strerror(errno)));
  struct stat st {};
  std::string bytes;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxFileBytes;
  const int why = ok ? 0 : (errno ? errno : EINVAL);
  if (ok) {
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (ok && got < bytes.size()) {
      const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) got += static_cast<size_t>(n);
    }
  }
  close(fd);
  const bool ours =
      S_ISREG(st.st_mode) && st.st_uid == geteuid() && nanosecondsOf(st.st_mtim) >= asked;
  if (ours) {
    // Only the very file that was read: not one put in its place since.
    struct stat now {};
    if (lstat(path->c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino &&
        unlink(path->c_str()) != 0)
      Log::printf(kLogNotRemoved, path->c_str(), std::strerror(errno));
  }
  if (!ok)
    return ScreenCapture::refused(
        ScreenFailure::Unreadable,
        strprintf(kUnreadable, path->c_str(), std::strerror(why ? why : EIO)));
  auto img = ImageCodec::decodePNG(bytes);
  if (!img)
    return ScreenCapture::refused(ScreenFailure::Unreadable, strprintf(kNotPNG, path->c_str()));
  ScreenComposer::flattenOverBlack(*img);
  return ScreenCapture::of(std::move(*img), {"portal", {}});
}

bool isAbsentService(const sd_bus_error& err) {
  return sd_bus_error_has_name(&err, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
         sd_bus_error_has_name(&err, SD_BUS_ERROR_NAME_HAS_NO_OWNER) ||
         sd_bus_error_has_name(&err, SD_BUS_ERROR_UNKNOWN_METHOD) ||
         sd_bus_error_has_name(&err, SD_BUS_ERROR_UNKNOWN_INTERFACE) ||
         sd_bus_error_has_name(&err, SD_BUS_ERROR_UNKNOWN_OBJECT);
}

// Asks the portal to drop a request nobody waits for any more.
void closeRequest(sd_bus* bus, const std::string& handle) {
  sd_bus_message* m = nullptr;
  if (sd_bus_message_new_method_call(bus, &m, kPortalName, handle.c_str(), kRequestIface,
                                     "Close") >= 0 &&
      sd_bus_message_set_expect_reply(m, 0) >= 0)
    sd_bus_send(bus, m, nullptr);
  sd_bus_message_unref(m);
  sd_bus_flush(bus);
}

}  // namespace

PortalScreen::PortalScreen(std::chrono::milliseconds timeout) : timeout_(timeout) {}

ScreenCapture PortalScreen::capture() {
  std::lock_guard<std::mutex> lock(mu_);
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout_;
  auto usecLeft = [&] {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    return static_cast<uint64_t>(left > 0 ? left : 0);
  };
  auto timedOut = [&] {
    return ScreenCapture::refused(ScreenFailure::TimedOut,
                                  strprintf(kTimedOut, static_cast<long long>(timeout_.count())));
  };

  sd_bus* bus = nullptr;
  int r = sd_bus_open_user(&bus);
  if (r < 0)
    return ScreenCapture::refused(ScreenFailure::PortalUnavailable,
                                  strprintf(kNoBus, std::strerror(-r)));
  struct BusGuard {
    sd_bus* bus;
    sd_bus_slot* slots[2] = {nullptr, nullptr};
    ~BusGuard() {
      for (auto* s : slots) sd_bus_slot_unref(s);
      sd_bus_flush_close_unref(bus);
    }
  } guard{bus};

  // The Response may come as soon as the call is answered: the match on the
  // path the portal will use is made before the call.
  const char* unique = nullptr;
  if ((r = sd_bus_get_unique_name(bus, &unique)) < 0 || !unique)
    return ScreenCapture::refused(ScreenFailure::PortalUnavailable,
                                  strprintf(kNoBus, std::strerror(r < 0 ? -r : EINVAL)));
  std::string sender(unique[0] == ':' ? unique + 1 : unique);
  for (char& c : sender)
    if (c == '.') c = '_';
  const std::string token =
      "quillbox_" + std::to_string(getpid()) + "_" + std::to_string(++requests_);
  const std::string expected = kRequestPrefix + sender + "/" + token;
  Pending pending;
  r = sd_bus_match_signal(bus, &guard.slots[0], nullptr, expected.c_str(), kRequestIface,
                          "Response", onResponse, &pending);
  if (r < 0)
    return ScreenCapture::refused(ScreenFailure::PortalUnavailable,
                                  strprintf(kNoBus, std::strerror(-r)));

  const int64_t asked = coarseNow();
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error err = SD_BUS_ERROR_NULL;
  r = sd_bus_message_new_method_call(bus, &call, kPortalName, kPortalPath, kScreenshotIface,
                                     "Screenshot");
  if (r >= 0)
    r = sd_bus_message_append(call, "sa{sv}", "", 2, "handle_token", "s", token.c_str(),
                              "interactive", "b", 0);
  if (r >= 0) r = sd_bus_call(bus, call, usecLeft(), &err, &reply);
  sd_bus_message_unref(call);
  if (r < 0) {
    ScreenCapture refused =
        r == -ETIMEDOUT ? timedOut()
        : isAbsentService(err)
            ? ScreenCapture::refused(ScreenFailure::PortalUnavailable,
                                     strprintf(kNoPortal, err.name ? err.name : std::strerror(-r)))
            : ScreenCapture::refused(ScreenFailure::PortalFailed,
                                     strprintf(kCallFailed, err.name ? err.name : "error",
                                               err.message ? err.message : std::strerror(-r)));
    sd_bus_error_free(&err);
    return refused;
  }
  sd_bus_error_free(&err);
  const char* handle = nullptr;
  if (const char* portal = sd_bus_message_get_sender(reply)) pending.portal = portal;
  std::string handlePath = expected;
  if (sd_bus_message_read(reply, "o", &handle) >= 0 && handle && expected != handle) {
    // An older portal names the request its own way.
    handlePath = handle;
    sd_bus_match_signal(bus, &guard.slots[1], nullptr, handle, kRequestIface, "Response",
                        onResponse, &pending);
  }
  sd_bus_message_unref(reply);

  while (!pending.done) {
    r = sd_bus_process(bus, nullptr);
    if (r < 0)
      return ScreenCapture::refused(ScreenFailure::PortalFailed,
                                    strprintf(kLostBus, std::strerror(-r)));
    if (r > 0) continue;
    const uint64_t left = usecLeft();
    if (left == 0) {
      closeRequest(bus, handlePath);
      return timedOut();
    }
    r = sd_bus_wait(bus, left);
    if (r < 0 && r != -EINTR)
      return ScreenCapture::refused(ScreenFailure::PortalFailed,
                                    strprintf(kLostBus, std::strerror(-r)));
  }
  if (pending.response == 1)
    return ScreenCapture::refused(ScreenFailure::PortalCancelled, kCancelled);
  if (pending.response != 0)
    return ScreenCapture::refused(ScreenFailure::PortalFailed,
                                  strprintf(kResponseFailed, pending.response));
  return readPortalFile(pending.uri, asked);
}

}  // namespace quillbox::platform
