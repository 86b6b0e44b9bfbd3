#include "AutoLogin/AutoLogin.h"

#include <libxml/entities.h>
#include <libxml/parser.h>

#include <thread>

#include "AppURL.h"
#include "CommonLib/CommonRegex.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Files/Keychain.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Loop/NotificationCenter.h"
#include "Platform/Net/HttpClient.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/Threads.h"
#include "Request/FormBody.h"
#include "Request/ServiceReachability.h"
#include "Request/Z_Request.h"
#include "SharedSettings.h"

namespace quillbox {

using platform::NotificationCenter;

namespace {

const char kModeLogin[] = "login";
const char kModeGetName[] = "getName";
const char kErrorResult[] = "errorResult";
const char kResult[] = "result";
const char kLookupService[] = "getPhoneUserName";
const char kLookupResourceFormat[] = "%s/%s";
// Why an attempt failed (AutoLogin::Failure::detail).
const char kNoLoginName[] = "\"usernamelogin\" of %s is empty or missing";
const char kNoPassword[] =
    "no password in the keychain %s (an item with \"generic\" \"%s\" and \"accessGroup\" "
    "\"%s\", the password as its \"comment\")";
const char kNoRoute[] = "no route to the host of %s";
const char kHttpStatus[] = "HTTP %d";
const char kNoDecision[] = "HTTP %d without a reply that decides";
const char kNoDecisionText[] = "a reply that decides nothing";
const char kSessionNotWritten[] = "the session could not be written";
// Outcomes kept for waiters that wake late.
constexpr size_t kKeptOutcomes = 64;

std::string trimmed(const std::string& s) {
  const char* ws = " \t\n\r\v\f";
  size_t a = s.find_first_not_of(ws);
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(ws);
  return s.substr(a, b - a + 1);
}

std::string qualifiedName(const xmlChar* localname, const xmlChar* prefix) {
  std::string name = reinterpret_cast<const char*>(localname);
  if (prefix) name = std::string(reinterpret_cast<const char*>(prefix)) + ":" + name;
  return name;
}

// SAX2 callbacks. Entities: only the five predefined ones exist; declarations
// are dropped and nothing is ever resolved or loaded, so a reply can neither
// read a local file nor blow up by expansion.
void onStartElement(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar*, int,
                    const xmlChar**, int, int, const xmlChar**) {
  static_cast<AutoLogin*>(ctx)->didStartElement(qualifiedName(localname, prefix));
}

void onEndElement(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar*) {
  static_cast<AutoLogin*>(ctx)->didEndElement(qualifiedName(localname, prefix));
}

void onCharacters(void* ctx, const xmlChar* ch, int len) {
  static_cast<AutoLogin*>(ctx)->foundCharacters(
      std::string(reinterpret_cast<const char*>(ch), static_cast<size_t>(len)));
}

void onCData(void*, const xmlChar*, int) {}  // CDATA sections carry no reply values

xmlEntityPtr onGetEntity(void*, const xmlChar* name) {
  return xmlGetPredefinedEntity(name);
}
void onEntityDecl(void*, const xmlChar*, int, const xmlChar*, const xmlChar*, xmlChar*) {}
xmlParserInputPtr onResolveEntity(void*, const xmlChar*, const xmlChar*) {
  return nullptr;
}
void onReference(void*, const xmlChar*) {}
void onSilentError(void*, const char*, ...) {}

}  // namespace

AutoLogin& AutoLogin::sharedAutoLogin() {
  static AutoLogin* instance = new AutoLogin();  // never destroyed: workers may outlive main
  return *instance;
}

std::string AutoLogin::strUname() const {
  std::lock_guard<std::mutex> lock(fieldsMu_);
  return strUname_;
}
void AutoLogin::setStrUname(const std::string& name) {
  std::lock_guard<std::mutex> lock(fieldsMu_);
  strUname_ = name;
}
std::string AutoLogin::strUpwd() const {
  std::lock_guard<std::mutex> lock(fieldsMu_);
  return strUpwd_;
}
void AutoLogin::setStrUpwd(const std::string& password) {
  std::lock_guard<std::mutex> lock(fieldsMu_);
  strUpwd_ = password;
}

std::string AutoLogin::getAppLibFilePath(const std::string& name) {
  return quillbox::getAppLibFilePath(name);
}

void AutoLogin::toAutoLogin() {
  startAttempt();
}

bool AutoLogin::toAutoLoginAndWait(std::chrono::seconds timeout) {
  uint64_t attempt = startAttempt();
  std::unique_lock<std::mutex> lock(waitMu_);
  ++waiters_;
  const bool ended = waitCv_.wait_for(lock, timeout, [&] { return endedAttempts_ >= attempt; });
  --waiters_;
  if (!ended) return false;
  auto it = outcomes_.find(attempt);
  return it != outcomes_.end() && it->second;
}

int AutoLogin::waitersForTesting() {
  std::lock_guard<std::mutex> lock(waitMu_);
  return waiters_;
}

uint64_t AutoLogin::startAttempt() {
  uint64_t attempt;
  {
    std::lock_guard<std::mutex> lock(waitMu_);
    if (bGetting.exchange(true)) return startedAttempts_;  // join the running attempt
    attempt = ++startedAttempts_;
    decided_.store(false);
  }
  {
    std::lock_guard<std::mutex> lock(fieldsMu_);
    failure_ = Failure();
  }
  std::string name = SharedSettings::loginName();
  std::string password =
      platform::Keychain::Default().passwordFor(kKeychainGeneric, kKeychainGroup).value_or("");
  setStrUname(name);
  setStrUpwd(password);
  if (name.empty()) {
    noteFailure(Failure::Kind::NoCredentials,
                strprintf(kNoLoginName, getAppLibFilePath(SharedSettings::kUserInfoFile).c_str()));
  } else if (password.empty()) {
    noteFailure(Failure::Kind::NoCredentials,
                strprintf(kNoPassword, platform::Environment::keychain().c_str(), kKeychainGeneric,
                          kKeychainGroup));
  }
  const bool reachable =
      !name.empty() && !password.empty() && ServiceReachability::isServiceReachable();
  if (!name.empty() && !password.empty() && !reachable) {
    noteFailure(Failure::Kind::Unreachable,
                ServiceReachability::serviceAddressProblem().value_or(
                    strprintf(kNoRoute, Z_Request::apiBaseURL().c_str())));
  }
  if (reachable) {
    setStrUname(trimmed(name));
    // No thread to log in on: the attempt fails at once (the reason is logged).
    if (!platform::Threads::Default().startThread("autologin", [this] { runAttempt(); }))
      loadLogin();
  } else {
    loadLogin();
  }
  return attempt;
}

namespace {
// Set while a thread runs an attempt's worker.
thread_local bool tOnAttemptWorker = false;
}  // namespace

void AutoLogin::runAttempt() {
  bool success = false;
  {
    std::lock_guard<std::mutex> lock(attemptMu_);
    tOnAttemptWorker = true;
    heldOutcome_ = false;
    strWebElementName.clear();
    strCurrentElement.clear();
    dWebUserData = PlistDict();
    nameLookedUp_ = false;
    isTelOrAccount();
    // A reply that never decided (not XML, no result/errorResult) is a
    // failure, so the guard is always released.
    if (!decided_.load()) loadLogin();
    success = heldOutcome_;
    tOnAttemptWorker = false;
  }
  // Published only now that the worker is done with the reply and the parser,
  // so that whoever waits for the outcome sees all of the attempt's work; and
  // once the worker's TLS-library state is freed, as the waiter may end the
  // process at once.
  platform::Threads::releaseThreadState();
  publish(success);
}

void AutoLogin::isTelOrAccount() {
  // One number look-up per attempt: a looked-up name that again looks like a
  // number logs in as it is.
  if (!nameLookedUp_ && CommonRegex::isValidateTel(strUname()))
    getName();
  else
    AccountLogin();
}

void AutoLogin::getName() {
  nameLookedUp_ = true;
  FormBody body;
  body.add("service", kLookupService)
      .add("mphone", strUname())
      .add("ios_version", mainBundleVersion());
  RequestResult result =
      Z_Request::postWithString(body, strprintf(kLookupResourceFormat, "file", "upload.json"));
  strWebElementName = kModeGetName;
  noteRequestFailure(result);
  if (result.respone && !result.respone->empty() && result.code != 500) {
    parseReply(*result.respone);
    if (decided_.load()) return;  // an errorResult somewhere in the reply
    // The name is taken once the whole reply has been read: the service may
    // wrap "string" in other elements, which close around it.
    takeLookedUpName();
    isTelOrAccount();
    return;
  }
  loadLogin();
}

void AutoLogin::takeLookedUpName() {
  setStrUname(dWebUserData.getString("string"));
  dWebUserData = PlistDict();
  strWebElementName.clear();
}

void AutoLogin::AccountLogin() {
  auto result = Z_Request::postWithLogin(strUname(), strUpwd());
  if (result) noteRequestFailure(*result);
  if (result && result->respone && !result->respone->empty() && result->code != 500) {
    strWebElementName = kModeLogin;
    parseReply(*result->respone);
    return;
  }
  loadLogin();
}

void AutoLogin::loadLogin() {
  finish(false);
}

bool AutoLogin::errorLogin(const std::string& elementName) {
  if (elementName != kErrorResult) return false;
  {
    // The refusal decides, whatever the status said.
    std::lock_guard<std::mutex> lock(fieldsMu_);
    failure_ = Failure();
  }
  noteFailure(Failure::Kind::Refused, dWebUserData.getString("message"));
  loadLogin();
  dWebUserData = PlistDict();
  return true;
}

void AutoLogin::finish(bool success) {
  if (decided_.exchange(true)) return;
  if (tOnAttemptWorker) {
    heldOutcome_ = success;
    return;
  }
  publish(success);
}

void AutoLogin::noteFailure(Failure::Kind kind, const std::string& detail) {
  std::lock_guard<std::mutex> lock(fieldsMu_);
  if (failure_.kind == Failure::Kind::None) failure_ = {kind, detail};
}

void AutoLogin::noteRequestFailure(const RequestResult& result) {
  if (result.code == 0) {
    noteFailure(result.tlsFailure ? Failure::Kind::Tls : Failure::Kind::Unreachable,
                result.transportError);
  } else if (result.code == 401 || result.code == 403) {
    noteFailure(Failure::Kind::Refused, strprintf(kHttpStatus, result.code));
  } else if (!result.respone || result.respone->empty() || result.code == 500) {
    noteFailure(Failure::Kind::Other, strprintf(kNoDecision, result.code));
  }
}

AutoLogin::Failure AutoLogin::lastFailure() {
  std::lock_guard<std::mutex> lock(waitMu_);
  return lastFailure_;
}

void AutoLogin::publish(bool success) {
  auto& center = NotificationCenter::Default();
  if (success) center.post(kUpdateUser);
  Failure failure;
  if (!success) {
    std::lock_guard<std::mutex> lock(fieldsMu_);
    failure = failure_;
    if (failure.kind == Failure::Kind::None) failure = {Failure::Kind::Other, kNoDecisionText};
  }
  {
    std::lock_guard<std::mutex> lock(waitMu_);
    lastFailure_ = failure;
    endedAttempts_ = startedAttempts_;
    outcomes_[endedAttempts_] = success;
    while (outcomes_.size() > kKeptOutcomes) outcomes_.erase(outcomes_.begin());
    bGetting.store(false);
  }
  waitCv_.notify_all();
  center.post(kNoticeName, std::string(success ? kSuccess : kFailed));
}

void AutoLogin::parseReply(const std::string& text) {
  static std::once_flag init;
  std::call_once(init, [] { xmlInitParser(); });
  xmlSAXHandler handler{};
  handler.initialized = XML_SAX2_MAGIC;
  handler.startElementNs = onStartElement;
  handler.endElementNs = onEndElement;
  handler.characters = onCharacters;
  handler.ignorableWhitespace = onCharacters;
  handler.cdataBlock = onCData;
  handler.getEntity = onGetEntity;
  handler.getParameterEntity = onGetEntity;
  handler.entityDecl = onEntityDecl;
  handler.resolveEntity = onResolveEntity;
  handler.reference = onReference;
  handler.warning = onSilentError;
  handler.error = onSilentError;
  handler.fatalError = onSilentError;
  // The callbacks get this object as their user data. It must not be the
  // parser context: libxml2 then falls back to the entities it recorded itself.
  xmlParserCtxtPtr ctxt = xmlCreatePushParserCtxt(&handler, this, nullptr, 0, nullptr);
  if (!ctxt) return;
  xmlCtxtUseOptions(ctxt, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  xmlParseChunk(ctxt, text.data(), static_cast<int>(text.size()), 1);
  // For expat compatibility libxml2 records entity declarations in a document
  // of its own even in SAX mode; the context does not free it.
  if (ctxt->myDoc) {
    xmlFreeDoc(ctxt->myDoc);
    ctxt->myDoc = nullptr;
  }
  xmlFreeParserCtxt(ctxt);
}

std::optional<bool> AutoLogin::parseReplyForTesting(const std::string& mode,
                                                    const std::string& text,
                                                    std::string* lookedUpName) {
  AutoLogin probe;
  {
    std::lock_guard<std::mutex> lock(probe.waitMu_);
    probe.startedAttempts_ = 1;
  }
  probe.bGetting.store(true);
  probe.decided_.store(false);
  {
    std::lock_guard<std::mutex> lock(probe.attemptMu_);
    probe.strWebElementName = mode;
    probe.parseReply(text);
    if (mode == kModeGetName && !probe.decided_.load()) {
      probe.takeLookedUpName();
      if (lookedUpName) *lookedUpName = probe.strUname();
    }
  }
  if (!probe.decided_.load()) return std::nullopt;
  std::lock_guard<std::mutex> lock(probe.waitMu_);
  auto it = probe.outcomes_.find(1);
  return it != probe.outcomes_.end() && it->second;
}

void AutoLogin::didStartElement(const std::string& name) {
  strCurrentElement = name;
}

void AutoLogin::foundCharacters(const std::string& chunk) {
  std::string kept;
  for (char c : chunk)
    if (c != ' ' && c != '\n') kept += c;
  if (kept.empty() || dWebUserData.contains(strCurrentElement)) return;
  dWebUserData.set(strCurrentElement, PlistValue(kept));
}

void AutoLogin::didEndElement(const std::string& name) {
  if (decided_.load()) return;
  if (strWebElementName == kModeLogin) {
    if (errorLogin(name)) return;
    if (name != kResult) return;
    // The session store holds the token: owner-only, also after a rewrite.
    if (dWebUserData.getString("type") == "0" &&
        platform::FileSystem::Default().writeOwnerOnlyAtomically(
            getAppLibFilePath(Z_Request::kWebInfoPlist),
            platform::PropertyList::toXml(PlistValue(dWebUserData)))) {
      finish(true);
    } else {
      if (dWebUserData.getString("type") != "0")
        noteFailure(Failure::Kind::Refused, dWebUserData.getString("message"));
      else
        noteFailure(Failure::Kind::Other, kSessionNotWritten);
      loadLogin();
    }
    dWebUserData = PlistDict();
  } else {  // the name look-up (its name is taken in getName()), or no reply being read
    errorLogin(name);
  }
}

}  // namespace quillbox
