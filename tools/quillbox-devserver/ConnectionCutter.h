// ConnectionCutter: ends the connection of a request that is being served,
// without a reply, so a client sees its upload fail mid-body.
//
// cpp-httplib gives a handler no way to drop its connection, so this finds the
// connection's socket (through the TLS session, or by its two addresses) and
// shuts it down; the server closes it afterwards as usual. The one place of the
// development server that uses socket calls. Safe from any handler thread.
#pragma once

#include <httplib.h>

namespace quillbox::devserver {

class ConnectionCutter {
 public:
  // Shuts down both directions of the connection `req` arrived on. false when
  // its socket can't be found.
  static bool cut(const httplib::Request& req);
};

}  // namespace quillbox::devserver
