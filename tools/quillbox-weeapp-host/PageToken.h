// PageToken: the secret a page must show to use the host.
//
// A host on a port of its own choosing (--port 0) makes a new token at every
// start. A host on a fixed port keeps its token in an owner-only file
// (fileFor(port)), so that a page left open reconnects when the host is
// started again on that port. A file that others may read or write, that is
// not a regular file or that holds no token is not used: the host says so in
// its log and makes a new token, which replaces the file.
//
// Thread safety: no state; any thread.
#pragma once

#include <string>

namespace quillbox::weeapphost {

class PageToken {
 public:
  // 32 lower-case hexadecimal characters from the system's random source;
  // "" when none could be had.
  static std::string make();
  // $QUILLBOX_HOME/.local/share/quillbox/weeapp-host-PORT.token
  static std::string fileFor(int port);
  struct Choice {
    std::string token;  // "" when no token could be made
    bool keep = false;  // a new token that keep() should write to the file
  };
  // The token for a host on `port`: the kept one when its file is sound (and
  // not `forget`), else a new one.
  static Choice choose(int port, bool forget);
  // Writes `token` to fileFor(port), owner-only (a log line when it can't).
  static void keep(int port, const std::string& token);
};

}  // namespace quillbox::weeapphost
