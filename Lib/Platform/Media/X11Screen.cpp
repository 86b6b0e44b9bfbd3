#include "Platform/Media/X11Screen.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xrandr.h>
#include <strings.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <vector>

#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"

namespace quillbox::platform {
namespace {

// Reasons of refused captures.
constexpr const char* kNoDisplay =
    "cannot open the X display \"%s\" (is the desktop session running? check DISPLAY and "
    "XAUTHORITY)";
constexpr const char* kXWayland =
    "the X display \"%s\" is XWayland, whose root window is not the screen, and no Wayland "
    "display is set (set WAYLAND_DISPLAY, or import it: systemctl --user import-environment "
    "WAYLAND_DISPLAY)";
constexpr const char* kGetImageFailed = "XGetImage of the root window failed (X error %d)";
constexpr const char* kConnectionLost = "the connection to the X display was lost";
constexpr const char* kUnsupportedFormat = "unsupported screen format (%d bits per pixel)";

// X errors land here instead of ending the process.
std::atomic<int> lastXError{0};
int recordXError(Display*, XErrorEvent* e) {
  lastXError.store(e->error_code);
  return 0;
}
void installErrorHandler() {
  static std::once_flag once;
  std::call_once(once, [] { XSetErrorHandler(recordXError); });
}

// The rows a capture reads at a time through shared memory (see capture()).
constexpr int64_t kBandBytes = 1 << 20;

int shiftOf(unsigned long mask) {
  int s = 0;
  while (mask && !(mask & 1)) mask >>= 1, ++s;
  return s;
}

// The rows [0, rows) of an XImage as opaque RGBA rows [y0, y0 + rows) of
// `out`, whose size is already the screen's.
bool toRGBA(XImage* xi, int rows, int y0, Image* out) {
  const int rs = shiftOf(xi->red_mask), gs = shiftOf(xi->green_mask), bs = shiftOf(xi->blue_mask);
  const bool fast = std::endian::native == std::endian::little && xi->bits_per_pixel == 32 &&
                    xi->byte_order == LSBFirst && xi->red_mask == 0xff0000 &&
                    xi->green_mask == 0xff00 && xi->blue_mask == 0xff;
  for (int y = 0; y < rows; ++y) {
    uint8_t* d = &out->rgba[static_cast<size_t>(y0 + y) * xi->width * 4];
    if (fast) {
      // B, G, R, X in memory, a little-endian word 0xXXRRGGBB; RGBA is the
      // word 0xFFBBGGRR. Word operations, so that the loop vectorises.
      const uint8_t* s =
          reinterpret_cast<const uint8_t*>(xi->data) + static_cast<size_t>(y) * xi->bytes_per_line;
      for (int x = 0; x < xi->width; ++x, s += 4, d += 4) {
        uint32_t p;
        std::memcpy(&p, s, 4);
        const uint32_t q = 0xff000000u | ((p & 0xffu) << 16) | (p & 0xff00u) | ((p >> 16) & 0xffu);
        std::memcpy(d, &q, 4);
      }
      continue;
    }
    if (xi->red_mask == 0 || xi->green_mask == 0 || xi->blue_mask == 0) return false;
    const auto scale = [](unsigned long v, unsigned long mask, int shift) {
      const unsigned long max = mask >> shift;
      return static_cast<uint8_t>(max ? ((v & mask) >> shift) * 255 / max : 0);
    };
    for (int x = 0; x < xi->width; ++x, d += 4) {
      const unsigned long p = XGetPixel(xi, x, y);
      d[0] = scale(p, xi->red_mask, rs);
      d[1] = scale(p, xi->green_mask, gs);
      d[2] = scale(p, xi->blue_mask, bs);
      d[3] = 255;
    }
  }
  return true;
}

Image sized(int width, int height) {
  Image out;
  out.width = width;
  out.height = height;
  out.rgba.resize(static_cast<size_t>(width) * height * 4);
  return out;
}

// XWayland shows itself by its own extension (from 23.1), by its vendor, or by
// the names it gives its RandR outputs ("XWAYLAND0", ...).
bool isXWayland(Display* dpy) {
  int opcode = 0, event = 0, error = 0;
  if (XQueryExtension(dpy, "XWAYLAND", &opcode, &event, &error)) return true;
  const char* vendor = ServerVendor(dpy);
  if (vendor && strcasestr(vendor, "xwayland")) return true;
  if (!XQueryExtension(dpy, "RANDR", &opcode, &event, &error)) return false;
  bool found = false;
  XRRScreenResources* res = XRRGetScreenResourcesCurrent(dpy, DefaultRootWindow(dpy));
  for (int i = 0; res && i < res->noutput && !found; ++i) {
    XRROutputInfo* info = XRRGetOutputInfo(dpy, res, res->outputs[i]);
    found = info && info->name && strncasecmp(info->name, "XWAYLAND", 8) == 0;
    if (info) XRRFreeOutputInfo(info);
  }
  if (res) XRRFreeScreenResources(res);
  return found;
}

// The monitors RandR knows, else the root window as one output named by the display.
std::vector<ScreenOutput> monitorsOf(Display* dpy, const std::string& name, int w, int h) {
  std::vector<ScreenOutput> out;
  int opcode = 0, event = 0, error = 0;
  if (XQueryExtension(dpy, "RANDR", &opcode, &event, &error)) {
    int n = 0;
    XRRMonitorInfo* mons = XRRGetMonitors(dpy, DefaultRootWindow(dpy), True, &n);
    for (int i = 0; mons && i < n; ++i) {
      char* atom = mons[i].name != None ? XGetAtomName(dpy, mons[i].name) : nullptr;
      out.push_back(
          {atom ? atom : "", mons[i].x, mons[i].y, mons[i].width, mons[i].height, 1.0, "normal"});
      if (atom) XFree(atom);
    }
    if (mons) XRRFreeMonitors(mons);
  }
  if (out.empty()) out.push_back({name, 0, 0, w, h, 1.0, "normal"});
  return out;
}

}  // namespace

struct X11Screen::Connection {
  Display* dpy = nullptr;
  std::string name;
  bool xwayland = false;
  std::atomic<bool> broken{false};
  bool shmTried = false;
  bool shmUsable = false;
  XShmSegmentInfo shm{};
  XImage* shmImage = nullptr;
  bool shmMapped = false;  // this process has mapped the segment's pages

  ~Connection() {
    releaseShm();
    // A display whose connection broke is left alone: Xlib may not touch it again.
    if (dpy && !broken.load()) XCloseDisplay(dpy);
  }

  static void onIOError(Display*, void* self) {
    static_cast<Connection*>(self)->broken.store(true);
  }

  void releaseShm() {
    if (!shmImage) return;
    if (!broken.load()) XShmDetach(dpy, &shm);
    XDestroyImage(shmImage);
    shmdt(shm.shmaddr);
    shmImage = nullptr;
  }

  // A shared-memory image of w x h, attached to the server; false when that can't be had.
  // REQUIRES: shmImage->height is the height it was made with.
  bool ensureShmImage(int w, int h) {
    if (shmImage && shmImage->width == w && shmImage->height == h) return true;
    releaseShm();
    const int scr = DefaultScreen(dpy);
    shm = XShmSegmentInfo{};
    XImage* img = XShmCreateImage(dpy, DefaultVisual(dpy, scr), DefaultDepth(dpy, scr), ZPixmap,
                                  nullptr, &shm, w, h);
    if (!img) return false;
    shm.shmid = shmget(IPC_PRIVATE, static_cast<size_t>(img->bytes_per_line) * img->height,
                       IPC_CREAT | 0600);
    if (shm.shmid < 0) {
      XDestroyImage(img);
      return false;
    }
    shm.shmaddr = img->data = static_cast<char*>(shmat(shm.shmid, nullptr, 0));
    // NOLINTNEXTLINE(performance-no-int-to-ptr): shmat() reports failure as (void*)-1.
    if (shm.shmaddr == reinterpret_cast<char*>(-1)) {
      shmctl(shm.shmid, IPC_RMID, nullptr);
      img->data = nullptr;
      XDestroyImage(img);
      return false;
    }
    shm.readOnly = False;
    lastXError.store(0);
    const bool attached = XShmAttach(dpy, &shm) && (XSync(dpy, False), lastXError.load() == 0);
    // Marked for removal now: the segment goes away once both sides have detached.
    shmctl(shm.shmid, IPC_RMID, nullptr);
    if (!attached || broken.load()) {
      XDestroyImage(img);
      shmdt(shm.shmaddr);
      return false;
    }
    shmImage = img;
    shmMapped = false;
    return true;
  }
};

X11Screen::X11Screen() = default;
X11Screen::~X11Screen() = default;

bool X11Screen::usedSharedMemory() const {
  return lastShm_.load();
}

ScreenCapture X11Screen::capture() {
  std::lock_guard<std::mutex> lock(mu_);
  installErrorHandler();
  if (conn_ && conn_->broken.load()) conn_.reset();
  if (!conn_) {
    const std::string name = Environment::get("DISPLAY");
    Display* dpy = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (!dpy)
      return ScreenCapture::refused(ScreenFailure::NoDisplay, strprintf(kNoDisplay, name.c_str()));
    conn_ = std::make_unique<Connection>();
    conn_->dpy = dpy;
    conn_->name = name;
    XSetIOErrorExitHandler(dpy, &Connection::onIOError, conn_.get());
    conn_->xwayland = isXWayland(dpy);
  }
  Connection& c = *conn_;
  if (c.xwayland) {
    // Not kept open: a held connection would keep an XWayland server running.
    ScreenCapture refused =
        ScreenCapture::refused(ScreenFailure::XWaylandOnly, strprintf(kXWayland, c.name.c_str()));
    conn_.reset();
    return refused;
  }
  Display* dpy = c.dpy;
  const Window root = DefaultRootWindow(dpy);
  XWindowAttributes attrs{};
  if (!XGetWindowAttributes(dpy, root, &attrs) || c.broken.load()) {
    conn_.reset();
    return ScreenCapture::refused(ScreenFailure::NoDisplay, kConnectionLost);
  }
  auto source = [&] {
    return ScreenSource{"x11", monitorsOf(dpy, c.name, attrs.width, attrs.height)};
  };

  if (!c.shmTried) {
    c.shmTried = true;
    c.shmUsable = XShmQueryExtension(dpy);
  }
  const int w = attrs.width, h = attrs.height;
  // The screen is read through a segment of a band of rows, band after band,
  // rather than one of the whole screen: a new segment costs a page fault
  // every 4 KiB on both sides (the server's and ours) and on the way out,
  // which in a new process came to more than the read itself.
  const int band = static_cast<int>(
      std::clamp<int64_t>(kBandBytes / (static_cast<int64_t>(w) * 4), 1, std::max(h, 1)));
  if (c.shmUsable && c.ensureShmImage(w, band)) {
    Image out = sized(w, h);
    // The bands show one moment: while they are read, no other client draws.
    const bool banded = band < h;
    if (banded) XGrabServer(dpy);
    bool ok = true, converted = true;
    lastXError.store(0);
    for (int y0 = 0; ok && converted && y0 < h; y0 += band) {
      const int rows = std::min(band, h - y0);
      c.shmImage->height = rows;
      ok = XShmGetImage(dpy, root, c.shmImage, 0, y0, AllPlanes) && lastXError.load() == 0 &&
           !c.broken.load();
      if (ok && !c.shmMapped) {
        // The server has just made the new segment's pages: mapped here in
        // one call instead of a fault every 4 KiB of the first read
        // (kernels before 5.14 refuse the advice).
        ::madvise(c.shmImage->data, static_cast<size_t>(c.shmImage->bytes_per_line) * band,
                  MADV_POPULATE_READ);
        c.shmMapped = true;
      }
      if (ok) converted = toRGBA(c.shmImage, rows, y0, &out);
    }
    c.shmImage->height = band;
    if (banded && !c.broken.load()) {
      XUngrabServer(dpy);
      XFlush(dpy);
    }
    if (!converted)
      return ScreenCapture::refused(ScreenFailure::Unreadable,
                                    strprintf(kUnsupportedFormat, c.shmImage->bits_per_pixel));
    if (ok) {
      lastShm_.store(true);
      return ScreenCapture::of(std::move(out), source());
    }
    c.releaseShm();
  }
  // The server refused shared memory (another host, or no MIT-SHM): plain XGetImage.
  c.shmUsable = false;
  if (c.broken.load()) {
    conn_.reset();
    return ScreenCapture::refused(ScreenFailure::NoDisplay, kConnectionLost);
  }
  lastXError.store(0);
  XImage* xi = XGetImage(dpy, root, 0, 0, w, h, AllPlanes, ZPixmap);
  if (!xi) {
    if (c.broken.load()) {
      conn_.reset();
      return ScreenCapture::refused(ScreenFailure::NoDisplay, kConnectionLost);
    }
    return ScreenCapture::refused(ScreenFailure::Unreadable,
                                  strprintf(kGetImageFailed, lastXError.load()));
  }
  Image out = sized(w, h);
  const bool ok = toRGBA(xi, xi->height, 0, &out);
  const int bits = xi->bits_per_pixel;
  XDestroyImage(xi);
  if (!ok)
    return ScreenCapture::refused(ScreenFailure::Unreadable, strprintf(kUnsupportedFormat, bits));
  lastShm_.store(false);
  return ScreenCapture::of(std::move(out), source());
}

}  // namespace quillbox::platform
