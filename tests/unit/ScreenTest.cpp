// The screen service: synthetic and file screens, the parser of the setting, the test seam,
// displays that cannot be reached, and the portal's answers. (Real displays:
// tests/integration/test_screen_x11.py and test_screen_wayland.py.)
// ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <wayland-server.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "Platform/Media/ImageCodec.h"
#include "Platform/Media/PortalScreen.h"
#include "Platform/Media/Screen.h"
#include "Platform/Process/Environment.h"
#include "TestSupport.h"

using namespace quillbox;
using namespace quillbox::platform;
namespace fs = std::filesystem;

namespace {

bool allOpaque(const Image& img) {
  for (size_t i = 3; i < img.rgba.size(); i += 4)
    if (img.rgba[i] != 255) return false;
  return true;
}

size_t distinctColours(const Image& img) {
  std::set<uint32_t> colours;
  for (size_t i = 0; i < img.rgba.size(); i += 4)
    colours.insert(img.rgba[i] | img.rgba[i + 1] << 8 | img.rgba[i + 2] << 16);
  return colours.size();
}

class FixedScreen : public Screen {
 public:
  ScreenCapture capture() override {
    Image img;
    img.width = img.height = 1;
    img.rgba = {1, 2, 3, 255};
    return ScreenCapture::of(img, {"synthetic", {}});
  }
};

// Sets environment variables for one scope and puts the old values back.
class ScopedEnv {
 public:
  ScopedEnv(std::initializer_list<std::pair<const char*, const char*>> vars) {
    for (auto& [name, value] : vars) {
      const char* old = std::getenv(name);
      saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
      if (value)
        ::setenv(name, value, 1);
      else
        ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    for (auto& [name, old] : saved_) {
      if (old)
        ::setenv(name.c_str(), old->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace

TEST(ScreenSynthetic, GivesAnOpaqueVariedPictureOfTheRequestedSize) {
  auto phone = Screen::create("synthetic");
  ASSERT_TRUE(phone);
  auto img = phone->capture();
  ASSERT_TRUE(img);
  EXPECT_EQ(img->width, 640);
  EXPECT_EQ(img->height, 1136);
  EXPECT_TRUE(img->valid());
  EXPECT_TRUE(allOpaque(*img));
  EXPECT_GT(distinctColours(*img), 100u);  // a realistic picture, not a flat fill

  auto wide = Screen::create("synthetic:320x200");
  ASSERT_TRUE(wide);
  auto small = wide->capture();
  ASSERT_TRUE(small);
  EXPECT_EQ(small->width, 320);
  EXPECT_EQ(small->height, 200);
}

TEST(ScreenSynthetic, PictureIsDeterministicAndShowsTheTime) {
  Image a = renderSyntheticScreen(200, 300, 14, 3, 9);
  Image b = renderSyntheticScreen(200, 300, 14, 3, 9);
  Image c = renderSyntheticScreen(200, 300, 14, 3, 10);
  Image d = renderSyntheticScreen(200, 300, 9, 5, 7);
  EXPECT_TRUE(a.rgba == b.rgba);
  EXPECT_FALSE(a.rgba == c.rgba);
  EXPECT_FALSE(a.rgba == d.rgba);
  EXPECT_EQ(renderSyntheticScreen(0, 10, 0, 0, 0).rgba.size(), 0u);
  // Tiny sizes still draw without going out of bounds.
  EXPECT_TRUE(renderSyntheticScreen(1, 1, 23, 59, 59).valid());
  EXPECT_TRUE(renderSyntheticScreen(3, 2, 23, 59, 59).valid());
}

TEST(ScreenCreate, RefusesUnknownOrMalformedSettings) {
  for (const char* setting :
       {"", "X11", "Wayland", "wayland:0", "file:", "synthetic:", "synthetic:0x10", "synthetic:10x",
        "synthetic:x10", "synthetic:axb", "synthetic:99999x1", "synthetic:-5x5"}) {
    EXPECT_EQ(Screen::create(setting), nullptr) << setting;
  }
  for (const char* setting : {"auto", "x11", "wayland", "portal", "file:/nonexistent.png"})
    EXPECT_NE(Screen::create(setting), nullptr) << setting;  // nothing is reached before capture
}

TEST(ScreenFile, CapturesThePNGAndRereadsItEachTime) {
  TempDir dir;
  const std::string path = dir.file("screen.png");
  Image first = renderSyntheticScreen(64, 48, 1, 2, 3);
  writeFile(path, *ImageCodec::encodePNG(first));
  auto screen = Screen::create("file:" + path);
  ASSERT_TRUE(screen);
  auto got = screen->capture();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->width, 64);
  EXPECT_TRUE(got->rgba == first.rgba);

  Image second = renderSyntheticScreen(30, 20, 4, 5, 6);
  writeFile(path, *ImageCodec::encodePNG(second));
  got = screen->capture();
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->rgba == second.rgba);
}

TEST(ScreenFile, TransparentPartsComeOutOpaqueOverBlack) {
  TempDir dir;
  Image img;
  img.width = 2;
  img.height = 1;
  img.rgba = {200, 100, 50, 0, 200, 100, 50, 128};
  writeFile(dir.file("a.png"), *ImageCodec::encodePNG(img));
  auto got = Screen::create("file:" + dir.file("a.png"))->capture();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->rgba, (std::vector<uint8_t>{0, 0, 0, 255, 100, 50, 25, 255}));
}

TEST(ScreenFile, MissingOrBrokenFileGivesNullopt) {
  TempDir dir;
  EXPECT_FALSE(Screen::create("file:" + dir.file("missing.png"))->capture());
  writeFile(dir.file("junk.png"), "\x89PNG but not really");
  EXPECT_FALSE(Screen::create("file:" + dir.file("junk.png"))->capture());
  EXPECT_FALSE(Screen::create("file:" + dir.file(""))->capture());  // a directory
}

TEST(ScreenX11, UnreachableDisplayGivesNullopt) {
  ScopedEnv env{{"DISPLAY", ":4242"}};  // nothing listens there
  auto screen = Screen::create("x11");
  ASSERT_TRUE(screen);
  EXPECT_FALSE(screen->capture());
  auto again = screen->capture();  // and again, without a stale connection
  EXPECT_FALSE(again);
  EXPECT_EQ(again.failure, ScreenFailure::NoDisplay);
  EXPECT_NE(again.reason.find("cannot open the X display \":4242\""), std::string::npos);
}

// Without any display every road refuses with its cause, and none makes a picture up.
TEST(ScreenAuto, WithoutADisplayEveryRoadRefusesWithItsCause) {
  TempDir dir;
  ScopedEnv env{{"DISPLAY", nullptr},
                {"WAYLAND_DISPLAY", nullptr},
                {"XDG_SESSION_TYPE", nullptr},
                {"XDG_RUNTIME_DIR", dir.path().c_str()},
                {"DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir.file("no-bus")).c_str()}};
  const struct {
    const char* setting;
    ScreenFailure failure;
    const char* reason;
  } cases[] = {
      {"auto", ScreenFailure::NoDisplay, "no display: neither WAYLAND_DISPLAY nor DISPLAY is set"},
      {"wayland", ScreenFailure::NoDisplay, "cannot connect to the Wayland display \"wayland-0\""},
      {"portal", ScreenFailure::PortalUnavailable, "no session bus for the desktop portal"},
  };
  for (const auto& c : cases) {
    auto got = Screen::create(c.setting)->capture();
    EXPECT_FALSE(got) << c.setting;
    EXPECT_EQ(got.failure, c.failure) << c.setting;
    EXPECT_NE(got.reason.find(c.reason), std::string::npos) << c.setting << ": " << got.reason;
  }
  // A Wayland session whose compositor is gone, with no portal either: both causes are named.
  ScopedEnv session{{"XDG_SESSION_TYPE", "wayland"}};
  auto got = Screen::create("auto")->capture();
  EXPECT_EQ(got.failure, ScreenFailure::PortalUnavailable);
  EXPECT_NE(got.reason.find("cannot connect to the Wayland display"), std::string::npos);
  EXPECT_NE(got.reason.find("the desktop portal neither"), std::string::npos);
}

TEST(ScreenDefault, TestSeamReplacesAndRestoresTheDefault) {
  FixedScreen fixed;
  {
    ScopedDefault<Screen> scope(fixed);
    auto img = Screen::Default().capture();
    ASSERT_TRUE(img);
    EXPECT_EQ(img->rgba, (std::vector<uint8_t>{1, 2, 3, 255}));
  }
  EXPECT_NE(&Screen::Default(), &fixed);
}

// The portal road against a stand-in portal on a private session bus: what
// each Response means, which file is removed, and that a Response from anyone
// but the portal that took the call is ignored.
namespace {

class FakePortal {
 public:
  enum class Mode { FreshFile, OldFile, Cancel, Fail, Silent, Spoof };

  FakePortal(const std::string& address, std::string file, Mode mode)
      : file_(std::move(file)), mode_(mode) {
    for (sd_bus** b : {&bus_, &other_}) {
      sd_bus_new(b);
      sd_bus_set_address(*b, address.c_str());
      sd_bus_set_bus_client(*b, 1);
      sd_bus_start(*b);
    }
    ok_ = sd_bus_request_name(bus_, "org.freedesktop.portal.Desktop", 0) >= 0 &&
          sd_bus_add_object_vtable(bus_, &slot_, "/org/freedesktop/portal/desktop",
                                   "org.freedesktop.portal.Screenshot", kVtable, this) >= 0;
    thread_ = std::thread([this] {
      while (!stop_.load()) {
        if (sd_bus_process(bus_, nullptr) > 0) continue;
        sd_bus_wait(bus_, 50'000);
      }
    });
  }
  ~FakePortal() {
    stop_.store(true);
    thread_.join();
    sd_bus_slot_unref(slot_);
    sd_bus_flush_close_unref(bus_);
    sd_bus_flush_close_unref(other_);
  }
  bool ok() const { return ok_; }

 private:
  static int screenshot(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* p = static_cast<FakePortal*>(self);
    const char* parent = nullptr;
    const char* token = "";
    sd_bus_message_read(m, "s", &parent);
    sd_bus_message_enter_container(m, 'a', "{sv}");
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
      const char* key = nullptr;
      sd_bus_message_read(m, "s", &key);
      if (std::string(key) == "handle_token")
        sd_bus_message_read(m, "v", "s", &token);
      else
        sd_bus_message_skip(m, "v");
      sd_bus_message_exit_container(m);
    }
    std::string sender = sd_bus_message_get_sender(m) + 1;
    for (char& c : sender)
      if (c == '.') c = '_';
    const std::string path = "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
    sd_bus_reply_method_return(m, "o", path.c_str());
    if (p->mode_ == Mode::FreshFile) writeFile(p->file_, p->png());
    const std::string uri = "file://" + p->file_;
    const uint32_t code = p->mode_ == Mode::Cancel ? 1 : p->mode_ == Mode::Fail ? 2 : 0;
    if (p->mode_ != Mode::Silent)
      sd_bus_emit_signal(p->mode_ == Mode::Spoof ? p->other_ : p->bus_, path.c_str(),
                         "org.freedesktop.portal.Request", "Response", "ua{sv}", code, 1, "uri",
                         "s", uri.c_str());
    return 1;
  }

 public:
  static std::string png() { return *ImageCodec::encodePNG(renderSyntheticScreen(8, 6, 1, 2, 3)); }

 private:
  static constexpr sd_bus_vtable kVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Screenshot", "sa{sv}", "o", screenshot, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};
  sd_bus* bus_ = nullptr;
  sd_bus* other_ = nullptr;  // another client of the bus, not the portal
  sd_bus_slot* slot_ = nullptr;
  const std::string file_;
  const Mode mode_;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

TEST(ScreenPortal, EachResponseIsReadAndOnlyTheRequestsFileRemoved) {
  if (std::system("command -v dbus-daemon >/dev/null") != 0)
    PREREQUISITE_MISSING("dbus-daemon is not installed");
  TempDir dir;
  PrivateSessionBus bus(dir);
  ASSERT_TRUE(bus.ok());
  ScopedEnv env{{"DBUS_SESSION_BUS_ADDRESS", bus.address().c_str()}};

  using Mode = FakePortal::Mode;
  const struct {
    Mode mode;
    ScreenFailure failure;
    bool fileLeft;
  } cases[] = {
      {Mode::FreshFile, ScreenFailure::None, false},  // written for this request: removed
      {Mode::OldFile, ScreenFailure::None, true},     // older than the request: not ours
      {Mode::Cancel, ScreenFailure::PortalCancelled, true},
      {Mode::Fail, ScreenFailure::PortalFailed, true},
      {Mode::Silent, ScreenFailure::TimedOut, true},
      {Mode::Spoof, ScreenFailure::TimedOut, true},  // another client's Response is no answer
  };
  const Image expected = *ImageCodec::decodePNG(FakePortal::png());
  int n = 0;
  for (const auto& c : cases) {
    const std::string file = dir.file("shot " + std::to_string(++n) + ".png");
    if (c.mode != Mode::FreshFile) {
      writeFile(file, FakePortal::png());
      fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::hours(1));
    }
    FakePortal portal(bus.address(), file, c.mode);
    ASSERT_TRUE(portal.ok());
    PortalScreen screen(std::chrono::milliseconds(400));
    auto got = screen.capture();
    EXPECT_EQ(got.failure, c.failure) << n << ": " << got.reason;
    if (c.failure == ScreenFailure::None) {
      ASSERT_TRUE(got) << got.reason;
      EXPECT_EQ(got->rgba, expected.rgba);
      EXPECT_EQ(got.source.method, "portal");
    }
    EXPECT_EQ(fs::exists(file), c.fileLeft) << n;
  }
}

// A compositor (libwayland-server, in a thread) that has an output and shared
// memory but no screen copy: the direct road names it, and auto goes on to the
// desktop portal (here absent too), naming both.
TEST(ScreenWayland, ACompositorWithoutScreenCopyIsNamedAndAutoTriesThePortal) {
  TempDir dir;
  ::chmod(dir.path().c_str(), 0700);
  wl_display* display = wl_display_create();
  ASSERT_NE(display, nullptr);
  ScopedEnv runtime{{"XDG_RUNTIME_DIR", dir.path().c_str()}};
  ASSERT_EQ(wl_display_add_socket(display, "qb-wayland-test"), 0);
  wl_display_init_shm(display);
  wl_global_create(display, &wl_output_interface, 3, nullptr,
                   [](wl_client* client, void*, uint32_t version, uint32_t id) {
                     wl_resource* r = wl_resource_create(client, &wl_output_interface,
                                                         static_cast<int>(version), id);
                     wl_output_send_geometry(r, 0, 0, 300, 200, 0, "quillbox", "test", 0);
                     wl_output_send_mode(r, WL_OUTPUT_MODE_CURRENT, 640, 480, 60000);
                     wl_output_send_done(r);
                   });
  std::atomic<bool> stop{false};
  std::thread server([&] {
    wl_event_loop* loop = wl_display_get_event_loop(display);
    while (!stop.load()) {
      wl_event_loop_dispatch(loop, 20);
      wl_display_flush_clients(display);
    }
  });
  {
    ScopedEnv env{{"WAYLAND_DISPLAY", "qb-wayland-test"},
                  {"DISPLAY", nullptr},
                  {"DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir.file("no-bus")).c_str()}};
    auto direct = Screen::create("wayland")->capture();
    EXPECT_EQ(direct.failure, ScreenFailure::CompositorWithoutCapture) << direct.reason;
    EXPECT_NE(direct.reason.find("offers no screen copy (zwlr_screencopy_manager_v1)"),
              std::string::npos)
        << direct.reason;
    auto automatic = Screen::create("auto")->capture();
    EXPECT_EQ(automatic.failure, ScreenFailure::PortalUnavailable);
    EXPECT_NE(automatic.reason.find("offers no screen copy"), std::string::npos);
    EXPECT_NE(automatic.reason.find("the desktop portal neither"), std::string::npos);
  }
  stop.store(true);
  server.join();
  // The clients whose hang-up the stopped loop did not read yet go too.
  wl_display_destroy_clients(display);
  wl_display_destroy(display);
}
