#include "CommonLib/CommonLib.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <set>
#include <utility>
#include <vector>

#include "CommonLib/CommonRegex.h"
#include "Platform/Process/TimeFormat.h"

namespace quillbox {

namespace {

const char kWindowsNamePattern[] =
    R"re(^(([^\s\.\\/:?"<>\|\*]+)|([^\s\.\\/:?"<>\|\*][^\\/:?"<>\|\*]*[^\s\.\\/:?"<>\|\*]))$)re";

// Every character of this text is removed by isFileDesignation.
const char kRemovedCharacters[] =
    "[`~!@#$%^&*()+=|{}':;',\\[\\].<>/?~！@#¥%⋯⋯& *（）——+|{}【】‘；：”“’。，、？]";

const std::vector<std::pair<std::vector<const char*>, const char*>>& iconRows() {
  static const std::vector<std::pair<std::vector<const char*>, const char*>> rows = {
      {{"eml"}, "email_"},
      {{"xls", "xlsx"}, "excel_"},
      {{"jpg", "jpeg", "png", "gif"}, "pic_"},
      {{"txt"}, "txt_"},
      {{"mov", "qbxm", "mp4", "rm", "rmvb", "3gp", "avi"}, "video_"},
      {{"doc", "docx"}, "word_"},
      {{"qbxa", "wma", "amr", "m4a", "aac", "mp3", "aiff", "wav"}, "audio_"},
      {{"ppt"}, "ppt_"},
      {{"vsd"}, "visio_"},
      {{"pro"}, "pro_"},
      {{"pdf"}, "pdf_"},
      {{"apk"}, "apk_"},
      {{"qbxs"}, "sms_file_"},
  };
  return rows;
}

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string twoDigits(int v, const char* unit) {
  char buf[32];
  if (v <= 9)
    std::snprintf(buf, sizeof buf, "0%d%s", v, unit);
  else
    std::snprintf(buf, sizeof buf, "%d%s", v, unit);
  return buf;
}

std::string formatFloat(double v, const char* unit) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f%s", v, unit);
  return buf;
}

// Splits a UTF-8 text into its characters (whole sequences).
std::vector<std::string> characters(const std::string& text) {
  std::vector<std::string> out;
  for (size_t i = 0; i < text.size();) {
    size_t n = 1;
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0xF0)
      n = 4;
    else if (c >= 0xE0)
      n = 3;
    else if (c >= 0xC0)
      n = 2;
    if (i + n > text.size()) n = text.size() - i;
    out.push_back(text.substr(i, n));
    i += n;
  }
  return out;
}

int hexByte(const std::string& s, size_t at) {
  if (at + 2 > s.size()) return 0;
  int v = 0;
  for (size_t i = at; i < at + 2; ++i) {
    char c = s[i];
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return 0;
    v = v * 16 + d;
  }
  return v;
}

}  // namespace

std::string CommonLib::getFileImageIcon(const std::string& fileName) {
  std::string lower = fileName;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  const char* prefix = "other_";
  for (const auto& [endings, p] : iconRows()) {
    bool hit = false;
    for (const char* e : endings)
      if (endsWith(lower, e)) hit = true;
    if (hit) {
      prefix = p;
      break;
    }
  }
  return std::string(prefix) + "big";
}

std::string CommonLib::formateFileSize(float bytes) {
  if (bytes >= 1073741824.0f) return formatFloat(bytes / 1073741824.0f, "GB");
  if (bytes >= 1048576.0f) return formatFloat(bytes / 1048576.0f, "MB");
  if (bytes >= 1024.0f) return formatFloat(bytes / 1024.0f, "KB");
  return formatFloat(bytes, "B");
}

std::string CommonLib::formatSpace(float bytes) {
  if (bytes >= 1073741824.0f) return formatFloat(bytes / 1073741824.0f, "G");
  if (bytes >= 1048576.0f) return formatFloat(bytes / 1048576.0f, "M");
  return formatFloat(bytes / 1024.0f, "K");
}

std::string CommonLib::FormateTime(int32_t milliseconds) {
  int32_t s = milliseconds / 1000;
  int32_t hours = s / 3600;
  int32_t minutes = (s / 60) % 60;
  int32_t seconds = s % 60;
  std::string out;
  if (hours >= 1) out += twoDigits(hours, "时");
  if (minutes >= 1) out += twoDigits(minutes, "分");
  out += twoDigits(seconds, "秒");
  return out;
}

Color CommonLib::getColor(const std::string& hex) {
  Color c;
  c.red = hexByte(hex, 0) / 255.0;
  c.green = hexByte(hex, 2) / 255.0;
  c.blue = hexByte(hex, 4) / 255.0;
  c.alpha = 1.0;
  return c;
}

std::chrono::system_clock::time_point CommonLib::dateFromString(const std::string& seconds) {
  double v = std::strtod(seconds.c_str(), nullptr);
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::duration<double>(v)));
}

std::string CommonLib::stringFromDate(std::chrono::system_clock::time_point date) {
  const std::tm tm = platform::TimeFormat::calendar(date, platform::TimeFormat::Zone::Local);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return buf;
}

std::string CommonLib::FormateDate(const std::string& seconds) {
  std::string date = stringFromDate(dateFromString(seconds));
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t i = 0; i <= date.size(); ++i) {
    if (i == date.size() || date[i] == '-') {
      parts.push_back(date.substr(start, i - start));
      start = i + 1;
    }
  }
  while (parts.size() < 3) parts.emplace_back();
  return parts[0] + "年" + parts[1] + "月" + parts[2] + "日";
}

bool CommonLib::isWindwosFileDesignation(const std::string& name) {
  if (name == "+") return false;
  return CommonRegex::matches(kWindowsNamePattern, name);
}

std::string CommonLib::isFileDesignation(const std::string& text) {
  static const std::set<std::string> removed = [] {
    auto chars = characters(kRemovedCharacters);
    return std::set<std::string>(chars.begin(), chars.end());
  }();
  std::string out;
  for (const auto& ch : characters(text))
    if (!removed.count(ch)) out += ch;
  return out;
}

}  // namespace quillbox
