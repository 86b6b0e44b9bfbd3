// Z_Request: the one place where the system talks to the quillbox service
// and finds the client application's files.
//
// Class operations only, no state: every call reads the plists it needs afresh
// from the container's Library folder ("com.velmor.loacal.plist" for the API
// base URL, "com.velmor.webinfo.plist" for the token, the user-info plist for
// the user name), so a new token or base URL takes effect on the next request.
// Requests are synchronous and block the calling thread; run them on worker
// threads. Safe for concurrent use from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Base/File.h"
#include "Platform/Net/HttpClient.h"
#include "PropertyList/PlistValue.h"
#include "Request/FormBody.h"
#include "Request/RequestResult.h"

namespace quillbox {

class Z_Request {
 public:
  static constexpr const char* kLocalPlist = "com.velmor.loacal.plist";
  static constexpr const char* kWebInfoPlist = "com.velmor.webinfo.plist";
  static constexpr const char* kFilesPropertyPlist = "com.velmor.files.property.plist";
  static constexpr const char* kUpInfoPlist = "com.velmor.upinfo.plist";
  static constexpr int kPostTimeoutSeconds = 30;
  static constexpr int kLoginTimeoutSeconds = 30;
  static constexpr int kChunkUploadTimeoutSeconds = 20;

  // The RequestResult of a status and a body: the body is kept when present
  // and valid UTF-8.
  static RequestResult serverFormate(long status, const std::optional<std::string>& respone);

  // root + "/Library/" + name (AppURL).
  static std::string getAppLibFilePath(const std::string& name);
  // root + "/Documents/" + name, or root + "/Documents" for an empty name.
  static std::string getAppDocFilePath(const std::string& name);

  // UTF-8 percent-escaping of the characters that are not legal in a URL
  // (space, '"', '%', '<', '>', '[', '\\', ']', '^', '`', '{', '|', '}', controls,
  // non-ASCII); reserved characters ("/", "?", "&", "=", ":", "#", ...) stay.
  static std::string stringURLEncode(const std::string& text);

  // "url" of the local plist ("" when missing).
  static std::string apiBaseURL();
  // stringURLEncode(apiBaseURL() + resource).
  static std::string requestURL(const std::string& resource);
  // "QuillBoxiOS/" + CFBundleVersion of the running program's bundle.
  static std::string userAgent();

  // The eight common header fields, in sending order: Authorization
  // ("OAuth2 " + web-info "access_token"), Accept, Connection, User-Client,
  // Content-Type, Accept-Language, Accept-Charset, User-Agent. Logs
  // "userDic:%@" with the web-info plist, token and cookie values masked.
  static platform::HttpHeaders setHeader();

  // GET of a resource with the common headers. The reply text when the
  // status is 200..499 (4xx replies carry the service's error objects);
  // nothing on a transport failure or a status of 500 and above.
  static std::optional<std::string> getObj(const std::string& resource);
  static std::optional<std::string> getObj(const std::string& resource, bool shouldAutoShowError);

  // Form POST with the common headers and a 30-second time-out. With
  // `shouldUrlEncode` the whole text is escaped with
  // stringByURLEncodingStringParameter (which keeps "&" and "="); without it
  // the text is sent as it is. An empty text sends a POST without body.
  static RequestResult postWithString(const std::string& body, const std::string& resource);
  static RequestResult postWithString(const std::string& body, const std::string& resource,
                                      bool shouldUrlEncode);
  // The same POST with a body built field by field: its escaped text() is
  // sent (equal to the escaped joined text for values without "&" and "=").
  static RequestResult postWithString(const FormBody& body, const std::string& resource);

  // Record look-ups (user name from the user-info plist "userName").
  // Files-property plist: the first record whose "path" equals the query's
  // part after the first "Documents" (a stored path without "Documents"
  // compares whole; a query without it matches nothing).
  static std::optional<PlistDict> getFilePropertyWithPath(const std::string& path);
  // Files-property plist: the first record whose "path" contains the query
  // from its "/Documents/" on; gives that record's `key` field, or the whole
  // record when `key` is empty. Nothing for a path without "/Documents/".
  static std::optional<PlistValue> getFilePropertyWithPath(const std::string& path,
                                                           const std::string& key);
  // Upload-state plist: the first record whose "path" equals `path` exactly.
  static std::optional<PlistDict> getUpInfoWithPath(const std::string& path);

  // The login request (POST login.json, XML reply, no token). Nothing when
  // the login name or the password is empty. The "password" field is the
  // lower-case hex SHA-1 of password + loginName.
  static std::optional<RequestResult> postWithLogin(const std::string& loginName,
                                                    const std::string& password);
  // The login form exactly as postWithLogin sends it.
  static FormBody loginForm(const std::string& loginName, const std::string& password);

  // Chunk upload (file/upload.json?id=%@&index=%lld): the escaped URL, and the
  // common headers with Content-Type "application/octet-stream" and a
  // "Content-Length" field of `contentLength` appended (HttpUpload rewrites
  // that value with the length it measures when it starts).
  static std::string chunkUploadURL(const std::string& fileID, int64_t index);
  static platform::HttpHeaders chunkUploadHeaders(int64_t contentLength);

  // --- The older request forms (cookie session, form login, upload message) ---

  // Header fields of a cookie-authenticated request, in sending order: the
  // "Cookie" of the web-info "cookieName" / "cookieValue" (the value in double
  // quotes when it holds "="; no field without a name), "Accept"
  // "application/xml", "Connection", "User-Client", "Content-Type" (form:
  // x-www-form-urlencoded followed by "Accept-Language" and "Accept-Charset";
  // otherwise "application/octet-stream"), "User-Agent", and "Authorization"
  // "OAuth2 " + web-info "accessToken".
  static platform::HttpHeaders cookieRequestHeaders(bool formBody);
  // Cookie-authenticated form POST of `body` (escaped with stringURLEncode).
  // The reply's raw bytes.
  static RequestDataResult getDataWithString(const std::string& body, const std::string& resource);
  // Cookie-authenticated POST of raw bytes ("application/octet-stream").
  static RequestResult postWithData(const std::string& data, const std::string& resource);
  // The older form login: "service=login&userName=&password=&ios_version=" with
  // the password digest (hex SHA-1 of password + user name), no token.
  static RequestResult putWithLogin(const std::string& resource, const std::string& userName,
                                    const std::string& userPwd);
  // The upload-message form of a file record (POST file/upload.json with
  // "service=uploadPlainFileMessage ... &format=xml", thumbnails as URL-safe
  // Base64 when they exist). The reply text; nothing when the file can't be
  // read (then nothing is sent) or no reply arrived. `hfile0c`, when given,
  // receives the file's SHA-1.
  static std::optional<std::string> creatWithFile(const File& file, std::string* hfile0c);
  static std::optional<std::string> creatWithFile(const File& file);
};

}  // namespace quillbox
