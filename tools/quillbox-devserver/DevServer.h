// DevServer: the reference cloud service for local runs, demos and tests.
//
// Serves the service's API under "/3/" (login.json, file/safe.json,
// file/create.json, file/length.json, file/upload.json with the number look-up
// or a streamed upload, and the older forms of LegacyService) over HTTPS with
// a self-signed certificate, or plain HTTP, and an RFC 3161 time-stamp
// authority at "/tsa" (TimeStampAuthority). Every API request but the logins
// needs "Authorization: OAuth2 <token>" with a token a login issued. Loopback
// clients also reach the test endpoints under "/__admin/": the request
// journal, fault switches, stored files, registrations, token revocation and
// canned replies.
//
// Thread-safety: start() and run() are called by one thread; stop() may be
// called from any thread; requests are served on the server's worker threads.
#pragma once

#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "FaultSwitches.h"
#include "FileStore.h"
#include "LegacyService.h"
#include "RequestJournal.h"
#include "SessionTokens.h"
#include "UpdateAnnouncer.h"
#include "UserDirectory.h"

namespace httplib {
class Server;
struct Request;
struct Response;
class ContentReader;
}  // namespace httplib

namespace quillbox::devserver {

class TimeStampAuthority;

struct DevServerOptions {
  std::string dataDir;
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port
  bool http = false;
  bool allowRemote = false;
  std::string usersFile;                // "" for the demo account
  std::string logFile;                  // "" for standard error only
  std::vector<std::string> failFlags;   // FaultSwitches::applyFailureFlag forms
  std::vector<std::string> dropFlags;   // FaultSwitches::applyDropFlag forms
  std::vector<std::string> delayFlags;  // FaultSwitches::applyDelayFlag forms
  std::string announceUpdate;           // UpdateAnnouncer::applyFlag form, "" for none
};

class DevServer {
 public:
  static constexpr const char* kClientSecret = "5d0c1a9e7b3f4c82a6e1d9047bc3f215";
  static constexpr const char* kBasePath = "/3/";
  static constexpr const char* kAdminPrefix = "/__admin/";

  explicit DevServer(DevServerOptions options);
  ~DevServer();
  DevServer(const DevServer&) = delete;
  DevServer& operator=(const DevServer&) = delete;

  // Makes the data folder, loads users and stored state, makes the certificate
  // (HTTPS), applies the fault flags and binds the port. false with `error`
  // on any failure (nothing is served then).
  bool start(std::string* error);
  // Valid after start().
  int port() const { return port_; }
  const std::string& certPath() const { return certPath_; }
  std::string baseUrl() const;

  // Serves until stop(). REQUIRES: start() succeeded.
  bool run();
  void stop();

 private:
  struct Exchange;

  void serve(const httplib::Request& req, httplib::Response& res,
             const httplib::ContentReader* reader);
  void serveApi(Exchange& x);
  void serveAdmin(Exchange& x);
  void login(Exchange& x);
  void uploadService(Exchange& x);
  void registerEvidence(Exchange& x);
  void createFile(Exchange& x);
  void fileLength(Exchange& x);
  void uploadBytes(Exchange& x);
  void legacyStream(Exchange& x);
  void replyLegacy(Exchange& x, const LegacyService::Reply& reply);
  void timeStamp(Exchange& x);  // RFC 3161 at TimeStampAuthority::kPath

  // Reads the request body into x.body (at most `limit` bytes are kept; the
  // rest is read and dropped). false when the body was longer than `limit`.
  bool readBody(Exchange& x, size_t limit);
  // The user of the request's token; nullopt when it has none or a bad one.
  std::optional<std::string> authorizedUser(const Exchange& x) const;
  void replyJson(Exchange& x, int status, const nlohmann::json& body);
  void replyXml(Exchange& x, int status, const std::string& xml);
  void replyXmlError(Exchange& x, int status, const std::string& type, const std::string& message);
  void finish(Exchange& x, bool journal);
  void logLine(const std::string& line);

  DevServerOptions options_;
  std::unique_ptr<httplib::Server> server_;
  std::unique_ptr<FileStore> files_;
  std::unique_ptr<SessionTokens> tokens_;
  std::unique_ptr<LegacyService> legacy_;
  std::unique_ptr<TimeStampAuthority> timeStamps_;
  UserDirectory users_;
  FaultSwitches faults_;
  RequestJournal journal_;
  UpdateAnnouncer updates_;
  int port_ = 0;
  std::string certPath_;
  std::mutex logMutex_;
  std::ofstream logFile_;
  struct CannedReply {
    int status;
    std::string body;
    std::string contentType;
  };
  std::mutex cannedMutex_;
  std::map<std::string, CannedReply> canned_;  // "METHOD path" -> reply
};

}  // namespace quillbox::devserver
