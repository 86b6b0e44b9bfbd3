// PageServer: serves the widget page to the person at this machine.
//
// Plain HTTP on 127.0.0.1 only, on the port asked for (0: any free one). The
// page (HTML, JS, CSS from the page folder), the published pictures, the
// event stream (server-sent events) and the page's requests: a tap on a view,
// a showing, an alert's answer, the confirmation that toasts are gone.
//
// Every request must carry the token given to start() (PageToken): in the
// query of the address the host prints (the page then keeps it as a cookie of
// this port). A request whose Host is not 127.0.0.1:<port> (DNS rebinding), or
// a state-changing request from a foreign Origin (another site's page), is
// refused with 403, as is one without the token; the reply's text names the
// reason. Only the icon (/favicon.ico) is served without the token. Taps,
// showings and answers run on the main run loop; the request waits (a bounded
// time) until they ran, and every refusal or failure is answered with a
// status and a line of text saying why.
//
// Thread safety: start() and stop() from one thread; requests are served on
// the server's own threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "EventHub.h"
#include "PageUserInterface.h"
#include "PublishedFiles.h"

namespace httplib {
class Server;
struct Request;
}  // namespace httplib

namespace quillbox::weeapphost {

struct PageServerHooks {
  std::function<std::string()> viewJson;     // the widget's view tree (JSON text); any thread
  std::function<bool(uint64_t viewId)> tap;  // main thread: false when no such view
  std::function<void()> appear;              // main thread: the widget is shown
};

class PageServer {
 public:
  // How long a request waits for the main thread before it answers 503.
  static constexpr std::chrono::seconds kMainThreadWait{10};

  PageServer(std::string pageDir, EventHub& hub, PageUserInterface& ui, PublishedFiles& files,
             PageServerHooks hooks);
  ~PageServer();

  // How soon a page's event stream reconnects after it was cut (the
  // stream's "retry" field).
  static constexpr std::chrono::milliseconds kReconnectAfter{1000};

  // Binds 127.0.0.1:port and serves on threads of its own, asking for
  // `token`. False with the reason in `error` when the port can't be had.
  bool start(int port, const std::string& token, std::string* error);
  void stop();

  int port() const { return port_; }
  // "http://127.0.0.1:PORT/?token=TOKEN": what a person opens.
  std::string address() const;

 private:
  enum class Refusal { None, Host, Token, Origin };
  Refusal check(const httplib::Request& req) const;
  bool hasToken(const httplib::Request& req) const;
  std::string cookieName() const;
  void routes();

  const std::string pageDir_;
  EventHub& hub_;
  PageUserInterface& ui_;
  PublishedFiles& files_;
  PageServerHooks hooks_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::string token_;
  int port_ = 0;
};

}  // namespace quillbox::weeapphost
