#include "Proof/TimeStampClient.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include <algorithm>
#include <ctime>
#include <memory>

#include "Platform/Files/FileSystem.h"
#include "Platform/Net/HttpClient.h"
#include "Platform/Process/Environment.h"
#include "Proof/OpenSslPointers.h"

namespace quillbox {
namespace {

using ReqPtr = OpenSslPtr<TS_REQ, TS_REQ_free>;
using RespPtr = OpenSslPtr<TS_RESP, TS_RESP_free>;
using ImprintPtr = OpenSslPtr<TS_MSG_IMPRINT, TS_MSG_IMPRINT_free>;
using AlgorPtr = OpenSslPtr<X509_ALGOR, X509_ALGOR_free>;
using IntPtr = OpenSslPtr<ASN1_INTEGER, ASN1_INTEGER_free>;
using VerifyCtxPtr = OpenSslPtr<TS_VERIFY_CTX, TS_VERIFY_CTX_free>;
struct InfoStackFree {
  void operator()(STACK_OF(X509_INFO) * s) const { sk_X509_INFO_pop_free(s, X509_INFO_free); }
};
using InfoStackPtr = std::unique_ptr<STACK_OF(X509_INFO), InfoStackFree>;
using Pkcs7Ptr = OpenSslPtr<PKCS7, PKCS7_free>;
using TstInfoPtr = OpenSslPtr<TS_TST_INFO, TS_TST_INFO_free>;

constexpr size_t kSha256Size = 32;

// The text of OpenSSL's error queue (emptied), latest error last.
std::string opensslErrors() {
  std::string text;
  const char* data = nullptr;
  int flags = 0;
  while (unsigned long e = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    if (!text.empty()) text += "; ";
    text += buf;
    if (data && (flags & ERR_TXT_STRING) && *data) text += std::string(" (") + data + ")";
  }
  return text.empty() ? std::string("unknown error") : text;
}

// A request over `sha256` with `nonce` (none when null), asking for the certificate.
ReqPtr makeRequest(std::string_view sha256, const ASN1_INTEGER* nonce) {
  ReqPtr req(TS_REQ_new());
  ImprintPtr imprint(TS_MSG_IMPRINT_new());
  AlgorPtr algorithm(X509_ALGOR_new());
  if (!req || !imprint || !algorithm ||
      X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr) != 1 ||
      TS_MSG_IMPRINT_set_algo(imprint.get(), algorithm.get()) != 1 ||
      TS_MSG_IMPRINT_set_msg(imprint.get(),
                             reinterpret_cast<unsigned char*>(const_cast<char*>(sha256.data())),
                             static_cast<int>(sha256.size())) != 1 ||
      TS_REQ_set_version(req.get(), 1) != 1 ||
      TS_REQ_set_msg_imprint(req.get(), imprint.get()) != 1 ||
      (nonce && TS_REQ_set_nonce(req.get(), nonce) != 1) ||
      TS_REQ_set_cert_req(req.get(), 1) != 1) {
    return nullptr;
  }
  return req;
}

IntPtr randomNonce() {
  unsigned char bytes[8];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return nullptr;
  bytes[0] &= 0x7f;  // positive, as an INTEGER of at most 64 bits
  BnPtr bn(BN_bin2bn(bytes, sizeof bytes, nullptr));
  return IntPtr(bn ? BN_to_ASN1_INTEGER(bn.get(), nullptr) : nullptr);
}

// The trust roots (see the header). nullptr with `error` when the file is unusable.
StorePtr trustStore(std::string* error) {
  StorePtr store(X509_STORE_new());
  if (!store) return nullptr;
  const std::string file = TimeStampClient::trustedRootsFile();
  if (file.empty()) {
    if (X509_STORE_set_default_paths(store.get()) != 1) {
      *error = "the system's trust store can't be loaded";
      return nullptr;
    }
    return store;
  }
  auto pem = platform::FileSystem::Default().readFile(file);
  if (!pem) {
    *error = "QUILLBOX_TSA_CA_FILE " + file + " can't be read";
    return nullptr;
  }
  BioPtr bio(BIO_new_mem_buf(pem->data(), static_cast<int>(pem->size())));
  InfoStackPtr infos(bio ? PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  int added = 0;
  for (int i = 0; infos && i < sk_X509_INFO_num(infos.get()); ++i) {
    X509_INFO* info = sk_X509_INFO_value(infos.get(), i);
    if (info->x509 && X509_STORE_add_cert(store.get(), info->x509) == 1) ++added;
  }
  ERR_clear_error();
  if (added == 0) {
    *error = "QUILLBOX_TSA_CA_FILE " + file + " holds no certificate";
    return nullptr;
  }
  return store;
}

std::string isoTime(const ASN1_GENERALIZEDTIME* t) {
  std::tm tm{};
  if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return "";
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

// A context that checks a token against the request's imprint (and nonce,
// when the request has one) and the trusted roots; nullptr with `error`.
VerifyCtxPtr verifyContext(const TS_REQ* req, std::string* error) {
  StorePtr store = trustStore(error);
  if (!store) return nullptr;
  VerifyCtxPtr ctx(TS_REQ_to_TS_VERIFY_CTX(const_cast<TS_REQ*>(req), nullptr));
  if (!ctx) {
    *error = opensslErrors();
    return nullptr;
  }
  TS_VERIFY_CTX_add_flags(ctx.get(), TS_VFY_SIGNATURE);
  TS_VERIFY_CTX_set_store(ctx.get(), store.release());  // the context owns it now
  return ctx;
}

// Checks `reply` against the request. Fills `check`; gives the parsed reply when it passed.
RespPtr checkReply(std::string_view reply, const TS_REQ* req, TimeStampClient::Check* check) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(reply.data());
  RespPtr resp(d2i_TS_RESP(nullptr, &p, static_cast<long>(reply.size())));
  if (!resp) {
    ERR_clear_error();
    check->error = "the reply is not an RFC 3161 TimeStampResp";
    return nullptr;
  }
  if (TS_TST_INFO* info = TS_RESP_get_tst_info(resp.get())) {
    check->genTime = isoTime(TS_TST_INFO_get_time(info));
  }
  VerifyCtxPtr ctx = verifyContext(req, &check->error);
  if (!ctx) return nullptr;
  if (TS_RESP_verify_response(ctx.get(), resp.get()) != 1) {
    check->error = opensslErrors();
    return nullptr;
  }
  check->ok = true;
  return resp;
}

// "localhost", "::1" or a dotted IPv4 address in 127.0.0.0/8.
bool isLoopbackHost(const std::string& host) {
  if (host == "localhost" || host == "::1") return true;
  if (host.rfind("127.", 0) != 0 || host.find_first_not_of("0123456789.") != std::string::npos)
    return false;
  return std::count(host.begin(), host.end(), '.') == 3 && host.find("..") == std::string::npos &&
         host.back() != '.';
}

// Empty when `url` may carry a request, else why not.
std::string urlProblem(const std::string& url) {
  size_t scheme = url.find("://");
  if (scheme == std::string::npos) return "QUILLBOX_TSA_URL " + url + " is not a URL";
  std::string proto = url.substr(0, scheme);
  if (proto == "https") return "";
  if (proto != "http") return "QUILLBOX_TSA_URL " + url + " is neither https nor http";
  std::string rest = url.substr(scheme + 3);
  std::string host;
  if (!rest.empty() && rest[0] == '[') {
    host = rest.substr(1, rest.find(']') == std::string::npos ? 0 : rest.find(']') - 1);
  } else {
    host = rest.substr(0, rest.find_first_of(":/?#"));
  }
  if (size_t at = host.rfind('@'); at != std::string::npos) host = host.substr(at + 1);
  if (isLoopbackHost(host)) return "";
  return "QUILLBOX_TSA_URL " + url + ": plain http goes to loopback addresses only";
}

}  // namespace

std::string TimeStampClient::trustedRootsFile() {
  return platform::Environment::tsaCaFile();
}

TimeStampClient::Result TimeStampClient::stamp(const std::string& url, std::string_view sha256,
                                               int timeoutSeconds) {
  Result result;
  if (sha256.size() != kSha256Size) {
    result.error = "the imprint is not a SHA-256 digest";
    return result;
  }
  if (std::string problem = urlProblem(url); !problem.empty()) {
    result.error = problem;
    return result;
  }
  IntPtr nonce = randomNonce();
  ReqPtr req = nonce ? makeRequest(sha256, nonce.get()) : nullptr;
  unsigned char* der = nullptr;
  int derLen = req ? i2d_TS_REQ(req.get(), &der) : -1;
  if (derLen <= 0) {
    result.error = "the request can't be made: " + opensslErrors();
    return result;
  }
  platform::HttpRequest http;
  http.url = url;
  http.method = "POST";
  http.headers = {{"Content-Type", "application/timestamp-query"},
                  {"Accept", "application/timestamp-reply"}};
  http.body = std::string(reinterpret_cast<char*>(der), static_cast<size_t>(derLen));
  http.timeoutSeconds = timeoutSeconds;
  OPENSSL_free(der);
  platform::HttpResponse response = platform::HttpClient::Default().send(http);
  if (response.status == 0) {
    result.outcome = Outcome::Unreachable;
    result.error = response.error;
    return result;
  }
  result.outcome = Outcome::Refused;
  if (response.status != 200) {
    result.error = "HTTP status " + std::to_string(response.status);
    return result;
  }
  Check check;
  if (!checkReply(response.body, req.get(), &check)) {
    result.error = check.error;
    return result;
  }
  result.outcome = Outcome::Granted;
  result.reply = std::move(response.body);
  result.genTime = check.genTime;
  return result;
}

TimeStampClient::Check TimeStampClient::verify(std::string_view reply, std::string_view sha256) {
  Check check;
  if (sha256.size() != kSha256Size) {
    check.error = "the imprint is not a SHA-256 digest";
    return check;
  }
  ReqPtr req = makeRequest(sha256, nullptr);
  if (!req) {
    check.error = opensslErrors();
    return check;
  }
  checkReply(reply, req.get(), &check);
  return check;
}

std::string TimeStampClient::tokenOf(std::string_view reply) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(reply.data());
  RespPtr resp(d2i_TS_RESP(nullptr, &p, static_cast<long>(reply.size())));
  PKCS7* token = resp ? TS_RESP_get_token(resp.get()) : nullptr;
  unsigned char* der = nullptr;
  int n = token ? i2d_PKCS7(token, &der) : -1;
  ERR_clear_error();
  if (n <= 0) return "";
  std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n));
  OPENSSL_free(der);
  return out;
}

TimeStampClient::Check TimeStampClient::verifyToken(std::string_view token,
                                                    std::string_view sha256) {
  Check check;
  ReqPtr req = sha256.size() == kSha256Size ? makeRequest(sha256, nullptr) : nullptr;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(token.data());
  Pkcs7Ptr pkcs7(d2i_PKCS7(nullptr, &p, static_cast<long>(token.size())));
  if (!req || !pkcs7) {
    ERR_clear_error();
    check.error = "the time stamp is not an RFC 3161 TimeStampToken";
    return check;
  }
  if (TstInfoPtr info{PKCS7_to_TS_TST_INFO(pkcs7.get())}) {
    check.genTime = isoTime(TS_TST_INFO_get_time(info.get()));
  }
  VerifyCtxPtr ctx = verifyContext(req.get(), &check.error);
  if (!ctx) return check;
  if (TS_RESP_verify_token(ctx.get(), pkcs7.get()) != 1) {
    check.error = opensslErrors();
    return check;
  }
  check.ok = true;
  return check;
}

}  // namespace quillbox
