#include "Platform/Media/WaylandScreen.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "Platform/Media/ScreenComposer.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace quillbox::platform {
namespace {

// Reasons of refused captures.
constexpr const char* kCannotConnect =
    "cannot connect to the Wayland display \"%s\" (is the compositor running? check "
    "WAYLAND_DISPLAY and XDG_RUNTIME_DIR)";
constexpr const char* kNoScreencopy =
    "the compositor at \"%s\" offers no screen copy (zwlr_screencopy_manager_v1)";
constexpr const char* kNoShm = "the compositor at \"%s\" offers no shared memory (wl_shm)";
constexpr const char* kNoOutputs = "the compositor at \"%s\" has no outputs";
constexpr const char* kTimedOut =
    "time-out: the compositor at \"%s\" did not deliver the outputs within %lld ms";
constexpr const char* kConnectionBroke = "the connection to the compositor at \"%s\" broke (%s)";
constexpr const char* kCopyFailed = "the compositor could not copy output %s";
constexpr const char* kNoShmBuffer = "the compositor offers output %s in no shared-memory buffer";
constexpr const char* kBadFormat = "output %s comes in a pixel format not handled (0x%08x)";
constexpr const char* kNoMemory = "cannot make a %zu-byte shared-memory buffer for output %s (%s)";

using Clock = std::chrono::steady_clock;

struct Session;

// One output and the copy of its next frame.
struct Output {
  Session* session = nullptr;
  uint32_t global = 0;
  wl_output* wl = nullptr;
  zxdg_output_v1* xdg = nullptr;
  std::string name;  // from xdg-output or wl_output (version 4)
  int32_t geometryX = 0, geometryY = 0, transform = 0, scale = 1;
  int32_t modeWidth = 0, modeHeight = 0;
  bool hasLogicalPosition = false, hasLogicalSize = false;
  int32_t logicalX = 0, logicalY = 0, logicalWidth = 0, logicalHeight = 0;

  zwlr_screencopy_frame_v1* frame = nullptr;
  bool shmOffered = false, copying = false, ready = false, failed = false, yInvert = false;
  uint32_t format = 0, width = 0, height = 0, stride = 0;
  std::string error;  // why this output cannot be had
  void* pixels = MAP_FAILED;
  size_t size = 0;
  wl_buffer* buffer = nullptr;

  ~Output() {
    if (buffer) wl_buffer_destroy(buffer);
    if (pixels != MAP_FAILED) munmap(pixels, size);
    if (frame) zwlr_screencopy_frame_v1_destroy(frame);
    if (xdg) zxdg_output_v1_destroy(xdg);
    if (wl) {
      if (wl_output_get_version(wl) >= WL_OUTPUT_RELEASE_SINCE_VERSION)
        wl_output_release(wl);
      else
        wl_output_destroy(wl);
    }
  }
  std::string label() const { return name.empty() ? "#" + std::to_string(global) : name; }
  bool settled() const { return ready || failed || !error.empty(); }
};

struct Session {
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_shm* shm = nullptr;
  zwlr_screencopy_manager_v1* copier = nullptr;
  zxdg_output_manager_v1* xdgManager = nullptr;
  std::vector<std::unique_ptr<Output>> outputs;

  ~Session() {
    outputs.clear();
    if (xdgManager) zxdg_output_manager_v1_destroy(xdgManager);
    if (copier) zwlr_screencopy_manager_v1_destroy(copier);
    if (shm) wl_shm_destroy(shm);
    if (registry) wl_registry_destroy(registry);
    if (display) wl_display_disconnect(display);
  }

  enum class Wait { Done, TimedOut, Broken };
  // Reads and dispatches events until `done` holds or the deadline passes.
  Wait dispatchUntil(const std::function<bool()>& done, Clock::time_point deadline) {
    while (!done()) {
      if (wl_display_dispatch_pending(display) < 0) return Wait::Broken;
      if (done()) break;
      while (wl_display_prepare_read(display) != 0)
        if (wl_display_dispatch_pending(display) < 0) return Wait::Broken;
      if (wl_display_flush(display) < 0 && errno != EAGAIN) {
        wl_display_cancel_read(display);
        return Wait::Broken;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd pfd{wl_display_get_fd(display), POLLIN, 0};
      const int r = left > 0 ? poll(&pfd, 1, static_cast<int>(left)) : 0;
      if (r <= 0) {
        wl_display_cancel_read(display);
        if (r < 0 && errno == EINTR) continue;
        return r == 0 ? Wait::TimedOut : Wait::Broken;
      }
      if (wl_display_read_events(display) < 0) return Wait::Broken;
    }
    return Wait::Done;
  }

  // Every request so far answered.
  Wait roundtrip(Clock::time_point deadline) {
    bool done = false;
    static const wl_callback_listener listener = {
        [](void* data, wl_callback* cb, uint32_t) {
          *static_cast<bool*>(data) = true;
          wl_callback_destroy(cb);
        },
    };
    wl_callback* cb = wl_display_sync(display);
    wl_callback_add_listener(cb, &listener, &done);
    const Wait w = dispatchUntil([&] { return done; }, deadline);
    // An unanswered callback must not call back into a gone `done`.
    if (!done) wl_callback_destroy(cb);
    return w;
  }
};

// --- wl_output and xdg-output: names and geometry ------------------------------

const wl_output_listener kOutputListener = {
    .geometry =
        [](void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char*,
           const char*, int32_t transform) {
          auto* o = static_cast<Output*>(data);
          o->geometryX = x;
          o->geometryY = y;
          o->transform = transform;
        },
    .mode =
        [](void* data, wl_output*, uint32_t flags, int32_t w, int32_t h, int32_t) {
          auto* o = static_cast<Output*>(data);
          if (flags & WL_OUTPUT_MODE_CURRENT) o->modeWidth = w, o->modeHeight = h;
        },
    .done = [](void*, wl_output*) {},
    .scale = [](void* data, wl_output*, int32_t s) { static_cast<Output*>(data)->scale = s; },
    .name =
        [](void* data, wl_output*, const char* name) {
          auto* o = static_cast<Output*>(data);
          if (o->name.empty() && name) o->name = name;
        },
    .description = [](void*, wl_output*, const char*) {},
};

const zxdg_output_v1_listener kXdgOutputListener = {
    .logical_position =
        [](void* data, zxdg_output_v1*, int32_t x, int32_t y) {
          auto* o = static_cast<Output*>(data);
          o->logicalX = x, o->logicalY = y, o->hasLogicalPosition = true;
        },
    .logical_size =
        [](void* data, zxdg_output_v1*, int32_t w, int32_t h) {
          auto* o = static_cast<Output*>(data);
          o->logicalWidth = w, o->logicalHeight = h, o->hasLogicalSize = true;
        },
    .done = [](void*, zxdg_output_v1*) {},
    .name =
        [](void* data, zxdg_output_v1*, const char* name) {
          if (name) static_cast<Output*>(data)->name = name;
        },
    .description = [](void*, zxdg_output_v1*, const char*) {},
};

// --- the frame copy -------------------------------------------------------------

// The buffer the compositor offered, in our memory, and the copy asked for.
void startCopy(Output* o) {
  if (o->copying || !o->error.empty()) return;
  if (!o->shmOffered) {
    o->error = strprintf(kNoShmBuffer, o->label().c_str());
    return;
  }
  if (!ScreenComposer::handlesFormat(o->format)) {
    o->error = strprintf(kBadFormat, o->label().c_str(), o->format);
    return;
  }
  o->size = static_cast<size_t>(o->stride) * o->height;
  const int fd = memfd_create("quillbox-screen", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(o->size)) < 0 ||
      (o->pixels = mmap(nullptr, o->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)) ==
          MAP_FAILED) {
    o->error = strprintf(kNoMemory, o->size, o->label().c_str(), std::strerror(errno));
    if (fd >= 0) close(fd);
    return;
  }
  wl_shm_pool* pool = wl_shm_create_pool(o->session->shm, fd, static_cast<int32_t>(o->size));
  o->buffer = wl_shm_pool_create_buffer(pool, 0, static_cast<int32_t>(o->width),
                                        static_cast<int32_t>(o->height),
                                        static_cast<int32_t>(o->stride), o->format);
  wl_shm_pool_destroy(pool);
  close(fd);
  zwlr_screencopy_frame_v1_copy(o->frame, o->buffer);
  o->copying = true;
}

const zwlr_screencopy_frame_v1_listener kFrameListener = {
    .buffer =
        [](void* data, zwlr_screencopy_frame_v1* frame, uint32_t format, uint32_t w, uint32_t h,
           uint32_t stride) {
          auto* o = static_cast<Output*>(data);
          o->shmOffered = true;
          o->format = format, o->width = w, o->height = h, o->stride = stride;
          // Before version 3 this one offer is all there is.
          if (zwlr_screencopy_frame_v1_get_version(frame) < 3) startCopy(o);
        },
    .flags =
        [](void* data, zwlr_screencopy_frame_v1*, uint32_t flags) {
          static_cast<Output*>(data)->yInvert = flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT;
        },
    .ready = [](void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t,
                uint32_t) { static_cast<Output*>(data)->ready = true; },
    .failed = [](void* data,
                 zwlr_screencopy_frame_v1*) { static_cast<Output*>(data)->failed = true; },
    .damage = [](void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t, uint32_t) {},
    .linux_dmabuf = [](void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {},
    .buffer_done = [](void* data,
                      zwlr_screencopy_frame_v1*) { startCopy(static_cast<Output*>(data)); },
};

// --- the registry -------------------------------------------------------------

const wl_registry_listener kRegistryListener = {
    .global =
        [](void* data, wl_registry* registry, uint32_t name, const char* iface, uint32_t version) {
          auto* s = static_cast<Session*>(data);
          auto bind = [&](const wl_interface* i, uint32_t most) {
            return wl_registry_bind(registry, name, i, std::min(version, most));
          };
          if (std::strcmp(iface, wl_shm_interface.name) == 0 && !s->shm) {
            s->shm = static_cast<wl_shm*>(bind(&wl_shm_interface, 1));
          } else if (std::strcmp(iface, zwlr_screencopy_manager_v1_interface.name) == 0 &&
                     !s->copier) {
            s->copier = static_cast<zwlr_screencopy_manager_v1*>(
                bind(&zwlr_screencopy_manager_v1_interface, 3));
          } else if (std::strcmp(iface, zxdg_output_manager_v1_interface.name) == 0 &&
                     !s->xdgManager) {
            s->xdgManager =
                static_cast<zxdg_output_manager_v1*>(bind(&zxdg_output_manager_v1_interface, 3));
          } else if (std::strcmp(iface, wl_output_interface.name) == 0) {
            auto o = std::make_unique<Output>();
            o->session = s;
            o->global = name;
            o->wl = static_cast<wl_output*>(bind(&wl_output_interface, 4));
            wl_output_add_listener(o->wl, &kOutputListener, o.get());
            s->outputs.push_back(std::move(o));
          }
        },
    .global_remove =
        [](void* data, wl_registry*, uint32_t name) {
          auto* s = static_cast<Session*>(data);
          for (auto& o : s->outputs)
            if (o->global == name) o->failed = true;
        },
};

// The output's rectangle on the desktop: xdg-output's, else derived from its
// geometry, the copied frame, its transform and scale.
ScreenComposer::Piece pieceOf(const Output& o, Image upright) {
  ScreenComposer::Piece p;
  const int scale = o.scale > 0 ? o.scale : 1;
  p.x = o.hasLogicalPosition ? o.logicalX : o.geometryX;
  p.y = o.hasLogicalPosition ? o.logicalY : o.geometryY;
  p.width = o.hasLogicalSize ? o.logicalWidth : upright.width / scale;
  p.height = o.hasLogicalSize ? o.logicalHeight : upright.height / scale;
  p.image = std::move(upright);
  return p;
}

}  // namespace

WaylandScreen::WaylandScreen(std::chrono::milliseconds timeout) : timeout_(timeout) {}

ScreenCapture WaylandScreen::capture() {
  std::lock_guard<std::mutex> lock(mu_);
  const auto deadline = Clock::now() + timeout_;
  const std::string setting = Environment::get("WAYLAND_DISPLAY");
  const std::string name = setting.empty() ? "wayland-0" : setting;
  Session s;
  s.display = wl_display_connect(setting.empty() ? nullptr : setting.c_str());
  if (!s.display)
    return ScreenCapture::refused(ScreenFailure::NoDisplay,
                                  strprintf(kCannotConnect, name.c_str()));
  auto waitFailed = [&](Session::Wait w) {
    if (w == Session::Wait::TimedOut)
      return ScreenCapture::refused(
          ScreenFailure::TimedOut,
          strprintf(kTimedOut, name.c_str(), static_cast<long long>(timeout_.count())));
    const int err = wl_display_get_error(s.display);
    return ScreenCapture::refused(
        ScreenFailure::Unreadable,
        strprintf(kConnectionBroke, name.c_str(), std::strerror(err ? err : EPIPE)));
  };

  s.registry = wl_display_get_registry(s.display);
  wl_registry_add_listener(s.registry, &kRegistryListener, &s);
  if (auto w = s.roundtrip(deadline); w != Session::Wait::Done) return waitFailed(w);
  if (!s.copier)
    return ScreenCapture::refused(ScreenFailure::CompositorWithoutCapture,
                                  strprintf(kNoScreencopy, name.c_str()));
  if (!s.shm)
    return ScreenCapture::refused(ScreenFailure::CompositorWithoutCapture,
                                  strprintf(kNoShm, name.c_str()));
  if (s.outputs.empty())
    return ScreenCapture::refused(ScreenFailure::NoDisplay, strprintf(kNoOutputs, name.c_str()));
  for (auto& o : s.outputs) {
    if (!s.xdgManager) continue;
    o->xdg = zxdg_output_manager_v1_get_xdg_output(s.xdgManager, o->wl);
    zxdg_output_v1_add_listener(o->xdg, &kXdgOutputListener, o.get());
  }
  // The outputs' own events, then xdg-output's.
  if (auto w = s.roundtrip(deadline); w != Session::Wait::Done) return waitFailed(w);

  for (auto& o : s.outputs) {
    o->frame = zwlr_screencopy_manager_v1_capture_output(s.copier, 0, o->wl);
    zwlr_screencopy_frame_v1_add_listener(o->frame, &kFrameListener, o.get());
  }
  auto allSettled = [&] {
    for (auto& o : s.outputs)
      if (!o->settled()) return false;
    return true;
  };
  if (auto w = s.dispatchUntil(allSettled, deadline); w != Session::Wait::Done)
    return waitFailed(w);

  std::vector<ScreenComposer::Piece> pieces;
  ScreenSource source{"wayland", {}};
  for (auto& o : s.outputs) {
    if (!o->error.empty()) return ScreenCapture::refused(ScreenFailure::Unreadable, o->error);
    if (!o->ready)
      return ScreenCapture::refused(ScreenFailure::Unreadable,
                                    strprintf(kCopyFailed, o->label().c_str()));
    auto buffer = ScreenComposer::fromShm(
        static_cast<const uint8_t*>(o->pixels), o->size, o->format, static_cast<int>(o->width),
        static_cast<int>(o->height), static_cast<int>(o->stride), o->yInvert);
    if (!buffer)
      return ScreenCapture::refused(ScreenFailure::Unreadable,
                                    strprintf(kBadFormat, o->label().c_str(), o->format));
    ScreenComposer::Piece p =
        pieceOf(*o, ScreenComposer::upright(std::move(*buffer), o->transform));
    source.outputs.push_back({o->label(), p.x, p.y, p.width, p.height,
                              p.width > 0 ? static_cast<double>(p.image.width) / p.width : 1.0,
                              ScreenComposer::transformName(o->transform)});
    pieces.push_back(std::move(p));
  }
  Image picture = ScreenComposer::compose(std::move(pieces));
  if (!picture.valid())
    return ScreenCapture::refused(ScreenFailure::NoDisplay, strprintf(kNoOutputs, name.c_str()));
  return ScreenCapture::of(std::move(picture), std::move(source));
}

}  // namespace quillbox::platform
