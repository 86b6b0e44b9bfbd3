// LegacyService: the older service forms the reference service answers on
// file/upload.json, all in XML:
//
//   body "service=login&userName=&password=&ios_version="   a form login (password:
//       hex SHA-1 of password + user name); the result carries "accessToken",
//       "cookieName" and "cookieValue" (also sent as Set-Cookie): the session
//       that the other forms need;
//   body "service=uploadPlainFileMessage&name=&ftype=&file0Len=&hfile0c=&format=xml..."
//       creates a file (or finds the one with the same name, digest and length)
//       and answers its "id", "isComplete" and "realLength" (bytes held);
//   body "service=initialization"   the account overview with the user's phone;
//   query "service=uploadPlainFileStream&id="   appends the body to the file:
//       chunks go on where the previous one ended.
//
// The message needs a token ("Authorization: OAuth2 <token>", the common
// headers); the stream and the overview need "accessToken" and the session
// cookie of the same user (value bare or in double quotes). Refusals
// are `errorResult` replies: 401 for the token or cookie, 400 for bad fields,
// 404 for an unknown file, 409 while another stream of the file runs. Sessions
// and the message look-up live in memory (a restart asks for a new login).
// Safe for concurrent use from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "FileStore.h"
#include "FormBody.h"
#include "SessionTokens.h"
#include "UserDirectory.h"

namespace httplib {
struct Request;
}

namespace quillbox::devserver {

class LegacyService {
 public:
  static constexpr const char* kCookieName = "QBSESSION";
  static constexpr const char* kStreamService = "uploadPlainFileStream";

  struct Reply {
    int status = 200;
    std::string xml;        // the document without the XML declaration
    std::string user;       // whose request it was ("" when unknown)
    std::string setCookie;  // a Set-Cookie value, when one is to be sent
  };
  // Receives body bytes; false stops the body.
  using BodySink = std::function<bool(const char* data, size_t n)>;
  // Hands the whole body to the sink; false when it ended early or the sink stopped.
  using BodyReader = std::function<bool(const BodySink& sink)>;

  LegacyService(FileStore& files, SessionTokens& tokens, const UserDirectory& users);

  // The reply to a form of file/upload.json whose "service" is one of the
  // older ones; nullopt for any other service.
  std::optional<Reply> serveForm(const FormBody& form, const httplib::Request& req);
  // True when the query asks for the stream ("service=uploadPlainFileStream").
  static bool isStream(const FormBody& query);
  // Appends the request's body to the file of the query's "id". The body is
  // always read whole (refused bodies are dropped), so the connection stays usable.
  Reply serveStream(const FormBody& query, const httplib::Request& req, const BodyReader& read);

 private:
  // The user whose token and session cookie the request carries; nullopt
  // with the refusal in `refusal` otherwise.
  std::optional<std::string> sessionUser(const httplib::Request& req, Reply* refusal) const;
  Reply login(const FormBody& form);
  Reply message(const FormBody& form, const httplib::Request& req);
  Reply initialization(const httplib::Request& req);

  FileStore& files_;
  SessionTokens& tokens_;
  const UserDirectory& users_;
  mutable std::mutex mutex_;
  std::map<std::string, std::string> cookies_;   // cookie value -> user
  std::map<std::string, std::string> messages_;  // owner, name, digest, length -> file id
};

}  // namespace quillbox::devserver
