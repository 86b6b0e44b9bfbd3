#include "Request/Z_Request.h"

#include <string_view>

#include "AppURL.h"
#include "CommonLib/CommonRegex.h"
#include "CommonLib/StringExtension.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Process/Log.h"
#include "SHA1Help/SHA1Help.h"
#include "SharedSettings.h"
#include "Text/PercentEncoding.h"
#include "base64/NSDataToBase64Encoding.h"

namespace quillbox {

using platform::HttpClient;
using platform::HttpHeaders;
using platform::HttpRequest;
using platform::HttpResponse;
using platform::PropertyList;

namespace {

// Texts of the request layer.
const char kUserAgentFormat[] = "QuillBoxiOS/%s";
const char kAuthorizationFormat[] = "OAuth2 %s";
const char kLoginResource[] = "login.json";
const char kChunkUploadFormat[] = "%s%s?%s";
const char kChunkQueryFormat[] = "id=%s&index=%lld";
const char kClientId[] = "4";
const char kClientSecret[] = "5d0c1a9e7b3f4c82a6e1d9047bc3f215";
const char kMasked[] = "******";
// Web-info keys whose values never go to the log.
const char* const kSecretKeys[] = {"access_token", "accessToken", "cookieValue"};

std::string orNull(const std::optional<std::string>& text) {
  return text ? *text : "(null)";
}

bool isUTF8(const std::string& text) {
  return CommonRegex::utf16Length(text) >= 0;
}

std::optional<std::string> decode(const std::string& body) {
  if (!isUTF8(body)) return std::nullopt;
  return body;
}

// The part of a path after the first "Documents", when something follows it.
std::optional<std::string> afterDocuments(const std::string& path) {
  size_t at = path.find("Documents");
  if (at == std::string::npos || at + 9 >= path.size()) return std::nullopt;
  return path.substr(at + 9);
}

// The record list of the current user in a plist of the Library folder.
std::optional<PlistArray> userRecords(const char* plistName) {
  auto user = SharedSettings::currentUserName();
  if (!user) return std::nullopt;
  auto root = PropertyList::read(Z_Request::getAppLibFilePath(plistName));
  if (!root || !root->asDict()) return std::nullopt;
  const PlistValue* list = root->asDict()->find(*user);
  if (!list || !list->asArray()) return std::nullopt;
  return *list->asArray();
}

HttpHeaders loginHeaders() {
  return {{"Accept", "application/xml"},
          {"Connection", "Keep-Alive"},
          {"User-Client", "da-zu"},
          {"Content-Type", "application/x-www-form-urlencoded"},
          {"Accept-Language", "zh-CN,zh"},
          {"Accept-Charset", "GBK,utf-8"},
          {"User-Agent", Z_Request::userAgent()}};
}

// `shown`: the unescaped body for the "postString = " line (none: no line).
// The lines come in the order "userDic:" (the headers), "postString = ", "uri:".
RequestResult post(const std::string& resource, const std::optional<std::string>& bytes,
                   const std::optional<std::string>& shown) {
  HttpRequest request;
  request.url = Z_Request::requestURL(resource);
  request.method = "POST";
  request.headers = Z_Request::setHeader();
  request.timeoutSeconds = Z_Request::kPostTimeoutSeconds;
  request.body = bytes ? *bytes : std::string();
  if (shown) NSLog("postString = %s", shown->c_str());
  NSLog("uri:%s", request.url.c_str());
  HttpResponse response = HttpClient::Default().send(request);
  auto text = decode(response.body);
  NSLog("result: %s", orNull(text).c_str());
  if (response.status == 0) {
    // No answer: the reason is the one clue to what the user must mend.
    NSLog("Response error: %s", response.error.c_str());
    RequestResult none = Z_Request::serverFormate(0, std::nullopt);
    none.transportError = response.error;
    none.tlsFailure = response.tlsFailure;
    return none;
  }
  return Z_Request::serverFormate(response.status, response.body);
}

}  // namespace

RequestResult Z_Request::serverFormate(long status, const std::optional<std::string>& respone) {
  RequestResult result;
  result.code = static_cast<int>(status);
  if (respone && isUTF8(*respone)) result.respone = *respone;
  return result;
}

std::string Z_Request::getAppLibFilePath(const std::string& name) {
  return quillbox::getAppLibFilePath(name);
}

std::string Z_Request::getAppDocFilePath(const std::string& name) {
  return quillbox::getAppDocFilePath(name);
}

std::string Z_Request::stringURLEncode(const std::string& text) {
  return PercentEncoding::encode(text, "-_.~!*'();/?:@&=+$,#");
}

std::string Z_Request::apiBaseURL() {
  return PropertyList::readDictionary(getAppLibFilePath(kLocalPlist)).getString("url");
}

std::string Z_Request::requestURL(const std::string& resource) {
  return stringURLEncode(apiBaseURL() + resource);
}

std::string Z_Request::userAgent() {
  return strprintf(kUserAgentFormat, mainBundleVersion().c_str());
}

HttpHeaders Z_Request::setHeader() {
  PlistDict web = PropertyList::readDictionary(getAppLibFilePath(kWebInfoPlist));
  PlistDict shown = web;
  for (const char* key : kSecretKeys)
    if (shown.contains(key)) shown.set(key, PlistValue(kMasked));
  NSLog("userDic:%s", PlistValue(shown).description().c_str());
  return {{"Authorization", strprintf(kAuthorizationFormat, web.getString("access_token").c_str())},
          {"Accept", "application/json"},
          {"Connection", "Keep-Alive"},
          {"User-Client", "da-zu"},
          {"Content-Type", "application/x-www-form-urlencoded"},
          {"Accept-Language", "zh-CN,zh"},
          {"Accept-Charset", "GBK,utf-8"},
          {"User-Agent", userAgent()}};
}

std::optional<std::string> Z_Request::getObj(const std::string& resource) {
  return getObj(resource, false);
}

std::optional<std::string> Z_Request::getObj(const std::string& resource,
                                             bool /*shouldAutoShowError*/) {
  HttpRequest request;
  request.url = requestURL(resource);
  request.method = "GET";
  NSLog("%s", request.url.c_str());
  request.headers = setHeader();
  HttpResponse response = HttpClient::Default().send(request);
  auto text = decode(response.body);
  NSLog("result:%s", orNull(text).c_str());
  if (response.status >= 200 && response.status < 500) return text;
  NSLog("Response error: %s", response.error.c_str());
  return std::nullopt;
}

RequestResult Z_Request::postWithString(const std::string& body, const std::string& resource) {
  return postWithString(body, resource, true);
}

RequestResult Z_Request::postWithString(const std::string& body, const std::string& resource,
                                        bool shouldUrlEncode) {
  std::optional<std::string> bytes, shown;
  if (!body.empty()) {
    if (shouldUrlEncode) {
      bytes = stringByURLEncodingStringParameter(body);
      shown = body;
    } else {
      bytes = body;
    }
  }
  return post(resource, bytes, shown);
}

RequestResult Z_Request::postWithString(const FormBody& body, const std::string& resource) {
  std::optional<std::string> bytes, shown;
  if (!body.empty()) {
    bytes = body.text();
    shown = body.plainText();
  }
  return post(resource, bytes, shown);
}

std::optional<PlistDict> Z_Request::getFilePropertyWithPath(const std::string& path) {
  auto key = afterDocuments(path);
  if (!key) return std::nullopt;
  auto records = userRecords(kFilesPropertyPlist);
  if (!records) return std::nullopt;
  for (const PlistValue& value : *records) {
    const PlistDict* record = value.asDict();
    if (!record) continue;
    std::string stored = record->getString("path");
    std::string storedKey = afterDocuments(stored).value_or(stored);
    if (storedKey == *key) return *record;
  }
  return std::nullopt;
}

std::optional<PlistValue> Z_Request::getFilePropertyWithPath(const std::string& path,
                                                             const std::string& key) {
  size_t at = path.find("/Documents/");
  if (path.empty() || at == std::string::npos) return std::nullopt;
  std::string search = path.substr(at);
  auto records = userRecords(kFilesPropertyPlist);
  if (!records) return std::nullopt;
  for (const PlistValue& value : *records) {
    const PlistDict* record = value.asDict();
    if (!record) continue;
    if (record->getString("path").find(search) == std::string::npos) continue;
    if (key.empty()) return value;
    const PlistValue* field = record->find(key);
    if (!field) return std::nullopt;
    return *field;
  }
  return std::nullopt;
}

std::optional<PlistDict> Z_Request::getUpInfoWithPath(const std::string& path) {
  auto records = userRecords(kUpInfoPlist);
  if (!records) return std::nullopt;
  for (const PlistValue& value : *records) {
    const PlistDict* record = value.asDict();
    if (record && record->getString("path") == path) return *record;
  }
  return std::nullopt;
}

FormBody Z_Request::loginForm(const std::string& loginName, const std::string& password) {
  FormBody form;
  form.add("client_id", kClientId)
      .add("client_secret", kClientSecret)
      .add("userName", loginName)
      .add("password", SHA1Help::sha1(password + loginName))
      .add("ios_version", mainBundleVersion());
  return form;
}

std::optional<RequestResult> Z_Request::postWithLogin(const std::string& loginName,
                                                      const std::string& password) {
  if (loginName.empty() || password.empty()) return std::nullopt;
  HttpRequest request;
  request.url = requestURL(kLoginResource);
  request.method = "POST";
  request.headers = loginHeaders();
  request.timeoutSeconds = kLoginTimeoutSeconds;
  request.body = loginForm(loginName, password).text();
  HttpResponse response = HttpClient::Default().send(request);
  if (response.status < 200 || response.status > 299)
    NSLog("Response error :%s login: code:%d", response.error.c_str(),
          static_cast<int>(response.status));
  else
    NSLog("Response code login:%d", static_cast<int>(response.status));
  if (response.status == 0) {
    RequestResult none = serverFormate(0, std::nullopt);
    none.transportError = response.error;
    none.tlsFailure = response.tlsFailure;
    return none;
  }
  return serverFormate(response.status, response.body);
}

std::string Z_Request::chunkUploadURL(const std::string& fileID, int64_t index) {
  std::string query = strprintf(kChunkQueryFormat, fileID.c_str(), static_cast<long long>(index));
  return stringURLEncode(
      strprintf(kChunkUploadFormat, apiBaseURL().c_str(), "file/upload.json", query.c_str()));
}

HttpHeaders Z_Request::chunkUploadHeaders(int64_t contentLength) {
  HttpHeaders headers = setHeader();
  for (auto& [name, value] : headers)
    if (name == "Content-Type") value = "application/octet-stream";
  headers.emplace_back("Content-Length", std::to_string(contentLength));
  return headers;
}

// ------------------------------------------------------ older request forms

namespace {

const char kUploadResourceFormat[] = "%s/%s";
const char kThumbnailFormat[] = "%s%s/%s";
const char kThumbnailSuffix[] = "_Thumbnail.jpg";
const char kSmallFolder[] = "/img/samll";
const char kMiddleFolder[] = "/img/middle";
const char kLogNoDigest[] = "creatWithFile: %s can't be read; nothing sent";

// One cookie as a request header: name=value, the value in double quotes when
// it holds "=".
std::optional<std::pair<std::string, std::string>> cookieField(const PlistDict& web) {
  std::string name = web.getString("cookieName");
  if (name.empty()) return std::nullopt;
  std::string value = web.getString("cookieValue");
  if (value.find('=') != std::string::npos) value = "\"" + value + "\"";
  return std::make_pair(std::string("Cookie"), name + "=" + value);
}

HttpResponse sendCookiePost(const std::string& resource, std::string body, bool formBody) {
  HttpRequest request;
  request.url = Z_Request::requestURL(resource);
  request.method = "POST";
  request.headers = Z_Request::cookieRequestHeaders(formBody);
  request.body = std::move(body);
  return HttpClient::Default().send(request);
}

std::optional<std::string> thumbnailBase64(const char* folder, const std::string& name) {
  std::string stem = name.substr(0, name.find('.'));
  std::string path = strprintf(kThumbnailFormat, Z_Request::getAppDocFilePath("").c_str(), folder,
                               (stem + kThumbnailSuffix).c_str());
  auto bytes = platform::FileSystem::Default().readFile(path);
  if (!bytes) return std::nullopt;
  return NSDataToBase64Encoding::encodeBase64(*bytes);
}

// The upload-message form; values are escaped field by field, so a value
// holding "&" or "=" stays one value.
FormBody uploadMessageForm(const File& f, const std::string& hfile0c) {
  const int32_t type = f.ftype();
  FormBody form;
  form.add("service", "uploadPlainFileMessage")
      .add("name", f.name().value_or(""))
      .add("ftype", type <= 9 ? "0" + std::to_string(type) : std::to_string(type))
      .add("file0Len", f.fLen().value_or(""))
      .add("hfile0c", hfile0c)
      .add("format", "xml");
  auto optional = [&form](const char* field, const std::optional<std::string>& value) {
    if (value) form.add(field, *value);
  };
  optional("startTime", f.fStartTime());
  optional("endTime", f.fEndTime());
  optional("folderId", f.folderId());
  optional("comment", f.fComment());
  optional("gps", f.fGps());
  optional("timeLen", f.fTimeLen());
  optional("sha1", f.fSHA1());
  if (f.fTime()) form.add("time", *f.fTime());
  optional("md5", f.fHash());
  const std::string name = f.name().value_or("");
  if (auto small = thumbnailBase64(kSmallFolder, name)) form.add("smallImg", *small);
  if (auto middle = thumbnailBase64(kMiddleFolder, name)) form.add("middleImg", *middle);
  return form;
}

}  // namespace

HttpHeaders Z_Request::cookieRequestHeaders(bool formBody) {
  PlistDict web = PropertyList::readDictionary(getAppLibFilePath(kWebInfoPlist));
  HttpHeaders headers;
  if (auto cookie = cookieField(web)) headers.push_back(*cookie);
  headers.emplace_back("Accept", "application/xml");
  headers.emplace_back("Connection", "Keep-Alive");
  headers.emplace_back("User-Client", "da-zu");
  if (formBody) {
    headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
    headers.emplace_back("Accept-Language", "zh-CN,zh");
    headers.emplace_back("Accept-Charset", "GBK,utf-8");
  } else {
    headers.emplace_back("Content-Type", "application/octet-stream");
  }
  headers.emplace_back("User-Agent", userAgent());
  headers.emplace_back("Authorization",
                       strprintf(kAuthorizationFormat, web.getString("accessToken").c_str()));
  return headers;
}

RequestDataResult Z_Request::getDataWithString(const std::string& body,
                                               const std::string& resource) {
  HttpResponse response = sendCookiePost(resource, stringURLEncode(body), true);
  RequestDataResult result;
  result.code = static_cast<int>(response.status);
  if (response.status != 0) result.respone = std::move(response.body);
  return result;
}

RequestResult Z_Request::postWithData(const std::string& data, const std::string& resource) {
  HttpResponse response = sendCookiePost(resource, data, false);
  if (response.status == 0) {
    RequestResult none = serverFormate(0, std::nullopt);
    none.transportError = response.error;
    none.tlsFailure = response.tlsFailure;
    return none;
  }
  return serverFormate(response.status, response.body);
}

RequestResult Z_Request::putWithLogin(const std::string& resource, const std::string& userName,
                                      const std::string& userPwd) {
  FormBody form;
  form.add("service", "login")
      .add("userName", userName)
      .add("password", SHA1Help::sha1(userPwd + userName))
      .add("ios_version", mainBundleVersion());
  HttpRequest request;
  request.url = requestURL(resource);
  request.method = "POST";
  request.headers = loginHeaders();
  request.body = form.text();
  HttpResponse response = HttpClient::Default().send(request);
  if (response.status == 0) {
    RequestResult none = serverFormate(0, std::nullopt);
    none.transportError = response.error;
    none.tlsFailure = response.tlsFailure;
    return none;
  }
  return serverFormate(response.status, response.body);
}

std::optional<std::string> Z_Request::creatWithFile(const File& file, std::string* hfile0c) {
  std::optional<std::string> digest;
  if (file.fPath()) digest = SHA1Help::file_sha1(*file.fPath());
  if (!digest) {
    NSLog(kLogNoDigest, orNull(file.fPath()).c_str());
    return std::nullopt;
  }
  if (hfile0c) *hfile0c = *digest;
  RequestResult result = postWithString(uploadMessageForm(file, *digest),
                                        strprintf(kUploadResourceFormat, "file", "upload.json"));
  return result.respone;
}

std::optional<std::string> Z_Request::creatWithFile(const File& file) {
  return creatWithFile(file, nullptr);
}

}  // namespace quillbox
