#include "CommonLib/CommonRegex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <map>
#include <memory>
#include <mutex>

#include "Platform/Process/Log.h"
#include "PropertyList/Utf8.h"

namespace quillbox {

namespace {

const char kTelPattern[] = R"([1-9]\d*|0)";
const char kPwdWeakPattern[] = R"(^([a-z]*|[0-9]*|[a-z0-9]{0,7}|[^a-z0-9]*)$)";
const char kEmailPattern[] = R"(\b([a-zA-Z0-9%_.+\-]+)@([a-zA-Z0-9.\-]+?\.[a-zA-Z]{2,6})\b)";
const char kURLPattern[] = R"(([^.]+.[^.]+)(.?[^.]+)*[^.]+)";
const char kIDCardPattern[] = R"(^[0-9]*$)";

// Backtracking budget: patterns such as the URL one nest quantifiers, and a
// hostile text must not pin a thread.
constexpr uint32_t kMatchLimit = 1000000;
constexpr uint32_t kDepthLimit = 10000;

struct Compiled {
  pcre2_code* code = nullptr;
  ~Compiled() {
    if (code) pcre2_code_free(code);
  }
};

std::mutex g_cacheMu;

const pcre2_code* compiled(const std::string& pattern) {
  static auto* cache = new std::map<std::string, std::unique_ptr<Compiled>>();
  std::lock_guard<std::mutex> lock(g_cacheMu);
  auto it = cache->find(pattern);
  if (it != cache->end()) return it->second->code;
  pcre2_compile_context* cctx = pcre2_compile_context_create(nullptr);
  pcre2_set_newline(cctx, PCRE2_NEWLINE_ANY);
  int err = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                   PCRE2_UTF | PCRE2_UCP | PCRE2_ANCHORED | PCRE2_ENDANCHORED, &err,
                                   &offset, cctx);
  pcre2_compile_context_free(cctx);
  if (!code) {
    PCRE2_UCHAR msg[256];
    pcre2_get_error_message(err, msg, sizeof msg);
    NSLog("CommonRegex: invalid pattern %s at %zu: %s", pattern.c_str(),
          static_cast<size_t>(offset), reinterpret_cast<const char*>(msg));
  }
  auto entry = std::make_unique<Compiled>();
  entry->code = code;
  const pcre2_code* result = entry->code;
  (*cache)[pattern] = std::move(entry);
  return result;
}

}  // namespace

bool CommonRegex::matches(const std::string& pattern, const std::string& text) {
  const pcre2_code* code = compiled(pattern);
  if (!code) return false;
  pcre2_match_data* md = pcre2_match_data_create_from_pattern(code, nullptr);
  pcre2_match_context* mctx = pcre2_match_context_create(nullptr);
  pcre2_set_match_limit(mctx, kMatchLimit);
  pcre2_set_depth_limit(mctx, kDepthLimit);
  int rc =
      pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, 0, md, mctx);
  pcre2_match_context_free(mctx);
  pcre2_match_data_free(md);
  if (rc >= 0) return true;
  if (rc != PCRE2_ERROR_NOMATCH) {
    PCRE2_UCHAR msg[256];
    pcre2_get_error_message(rc, msg, sizeof msg);
    NSLog("CommonRegex: text refused (%s)", reinterpret_cast<const char*>(msg));
  }
  return false;
}

long CommonRegex::utf16Length(const std::string& text) {
  if (!Utf8::isValid(text)) return -1;
  // Well-formed: each lead byte starts one character; four-byte ones (astral)
  // take two UTF-16 units.
  long units = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++units;
    if (c >= 0xF0) ++units;
  }
  return units;
}

bool CommonRegex::isValidateTel(const std::string& text) {
  if (text.empty() || utf16Length(text) != 11 || text[0] != '1') return false;
  return matches(kTelPattern, text);
}

bool CommonRegex::isValidatePwd(const std::string& text) {
  if (utf16Length(text) < 8) return false;
  return !matches(kPwdWeakPattern, text);
}

bool CommonRegex::isValidateEmail(const std::string& text) {
  if (text.empty()) return false;
  return matches(kEmailPattern, text);
}

bool CommonRegex::isValidateURL(const std::string& text) {
  return matches(kURLPattern, text);
}

bool CommonRegex::isValidateIDCard(const std::string& text) {
  if (text.empty() || utf16Length(text) < 0) return false;
  // Drop the last character (a whole UTF-8 sequence): it is a free check letter.
  size_t end = text.size() - 1;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return matches(kIDCardPattern, text.substr(0, end));
}

}  // namespace quillbox
