#include "FaultSwitches.h"

#include <vector>

namespace quillbox::devserver {
namespace {

std::optional<int64_t> parseCount(const std::string& text) {
  if (text.empty() || text.size() > 15) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  return std::stoll(text);
}

bool isCount(const nlohmann::json& j) {
  return j.is_number_integer() && j.get<int64_t>() >= 0;
}

}  // namespace

bool FaultSwitches::apply(const nlohmann::json& faults, std::string* error) {
  std::vector<nlohmann::json> items;
  if (faults.is_array()) {
    items.assign(faults.begin(), faults.end());
  } else {
    items.push_back(faults);
  }
  std::vector<Failure> failures;
  std::vector<Drop> drops;
  std::vector<std::pair<std::string, int64_t>> delays;
  std::optional<nlohmann::json> chaos;
  for (const auto& item : items) {
    if (!item.is_object()) {
      *error = "a fault must be a JSON object";
      return false;
    }
    if (item.contains("chaos")) {
      const auto& c = item["chaos"];
      if (!c.is_object() || !c.value("percent", nlohmann::json()).is_number_integer() ||
          c["percent"].get<int>() < 0 || c["percent"].get<int>() > 100) {
        *error = "\"chaos\" needs {\"percent\": 0..100}";
        return false;
      }
      for (const char* key : {"seed", "delayMs", "delays"}) {
        if (c.contains(key) && !isCount(c[key])) {
          *error = std::string("chaos \"") + key + "\" must be a non-negative integer";
          return false;
        }
      }
      if (c.contains("resource") && !c["resource"].is_string()) {
        *error = "chaos \"resource\" must be a string";
        return false;
      }
      chaos = c;
      continue;
    }
    int count = 1;
    if (item.contains("count")) {
      if (!isCount(item["count"])) {
        *error = "\"count\" must be a non-negative integer";
        return false;
      }
      count = static_cast<int>(item["count"].get<int64_t>());
    }
    std::string resource;
    if (item.contains("resource")) {
      if (!item["resource"].is_string()) {
        *error = "\"resource\" must be a string";
        return false;
      }
      resource = item["resource"].get<std::string>();
    }
    if (item.contains("status")) {
      const auto& status = item["status"];
      if (!status.is_number_integer() || status.get<int>() < 100 || status.get<int>() > 599) {
        *error = "\"status\" must be an HTTP status code";
        return false;
      }
      if (resource.empty()) {
        *error = "a failure needs a \"resource\" (\"*\" for every request)";
        return false;
      }
      StagedReply reply{status.get<int>(), ""};
      if (item.contains("body")) {
        if (!item["body"].is_string()) {
          *error = "\"body\" must be a string";
          return false;
        }
        reply.body = item["body"].get<std::string>();
      }
      failures.push_back({resource, count, reply});
    } else if (item.contains("dropAfterBytes")) {
      if (!isCount(item["dropAfterBytes"])) {
        *error = "\"dropAfterBytes\" must be a non-negative integer";
        return false;
      }
      drops.push_back({item["dropAfterBytes"].get<int64_t>(), count});
    } else if (item.contains("delayMs")) {
      if (!isCount(item["delayMs"])) {
        *error = "\"delayMs\" must be a non-negative integer";
        return false;
      }
      delays.emplace_back(resource, item["delayMs"].get<int64_t>());
    } else {
      *error = "a fault needs \"status\", \"dropAfterBytes\" or \"delayMs\"";
      return false;
    }
  }
  std::lock_guard lock(mutex_);
  if (chaos) {
    chaos_.percent = (*chaos)["percent"].get<int>();
    chaos_.resource = chaos->value("resource", "");
    chaos_.delayMs = chaos->value("delayMs", int64_t{0});
    chaos_.delaysLeft = chaos->value("delays", 0);
    chaos_.rng.seed(chaos->value("seed", uint64_t{1}));
    chaos_.injected.clear();
  }
  for (auto& f : failures) {
    if (f.count > 0) failures_.push_back(std::move(f));
  }
  for (auto& d : drops) {
    if (d.count > 0) drops_.push_back(d);
  }
  for (auto& [resource, ms] : delays) {
    if (ms == 0) {
      delays_.erase(resource);
    } else {
      delays_[resource] = ms;
    }
  }
  return true;
}

bool FaultSwitches::applyFailureFlag(const std::string& text, std::string* error) {
  size_t b = text.rfind(':');
  size_t a = b == std::string::npos || b == 0 ? std::string::npos : text.rfind(':', b - 1);
  if (a == std::string::npos) {
    *error = "--fail expects RESOURCE:COUNT:STATUS";
    return false;
  }
  auto count = parseCount(text.substr(a + 1, b - a - 1));
  auto status = parseCount(text.substr(b + 1));
  if (!count || !status) {
    *error = "--fail expects RESOURCE:COUNT:STATUS";
    return false;
  }
  return apply({{"resource", text.substr(0, a)}, {"count", *count}, {"status", *status}}, error);
}

bool FaultSwitches::applyDropFlag(const std::string& text, std::string* error) {
  size_t colon = text.find(':');
  auto bytes = parseCount(text.substr(0, colon));
  auto count =
      colon == std::string::npos ? std::optional<int64_t>(1) : parseCount(text.substr(colon + 1));
  if (!bytes || !count) {
    *error = "--drop-upload-after expects BYTES or BYTES:COUNT";
    return false;
  }
  return apply({{"dropAfterBytes", *bytes}, {"count", *count}}, error);
}

bool FaultSwitches::applyDelayFlag(const std::string& text, std::string* error) {
  size_t colon = text.rfind(':');
  auto ms = parseCount(colon == std::string::npos ? text : text.substr(colon + 1));
  if (!ms) {
    *error = "--delay expects MS or RESOURCE:MS";
    return false;
  }
  nlohmann::json faults = {{"delayMs", *ms}};
  if (colon != std::string::npos) faults["resource"] = text.substr(0, colon);
  return apply(faults, error);
}

void FaultSwitches::clear() {
  std::lock_guard lock(mutex_);
  failures_.clear();
  drops_.clear();
  delays_.clear();
  chaos_.percent = 0;
}

nlohmann::json FaultSwitches::describe() const {
  std::lock_guard lock(mutex_);
  nlohmann::json out = nlohmann::json::array();
  for (const auto& f : failures_) {
    out.push_back({{"resource", f.resource},
                   {"count", f.count},
                   {"status", f.reply.status},
                   {"body", f.reply.body}});
  }
  for (const auto& d : drops_)
    out.push_back({{"dropAfterBytes", d.afterBytes}, {"count", d.count}});
  for (const auto& [resource, ms] : delays_) {
    nlohmann::json j = {{"delayMs", ms}};
    if (!resource.empty()) j["resource"] = resource;
    out.push_back(j);
  }
  if (chaos_.percent > 0 || !chaos_.injected.empty()) {
    out.push_back({{"chaos",
                    {{"percent", chaos_.percent},
                     {"resource", chaos_.resource},
                     {"delayMs", chaos_.delayMs},
                     {"delays", chaos_.delaysLeft},
                     {"injected", chaos_.injected}}}});
  }
  return out;
}

bool FaultSwitches::chaosStrikes(const std::string& resource) const {
  if (chaos_.percent <= 0) return false;
  if (!chaos_.resource.empty() && chaos_.resource != resource) return false;
  return static_cast<int>(chaos_.rng() % 100) < chaos_.percent;
}

std::optional<StagedReply> FaultSwitches::takeFailure(const std::string& resource) {
  std::lock_guard lock(mutex_);
  if (chaosStrikes(resource)) {
    // Replies a client must survive: server errors, and bodies that don't
    // parse. file/upload.json gets server errors only: the reply to an
    // upload body is not read, and its account look-up shares the resource.
    static const StagedReply kJson[] = {{500, ""},
                                        {502, "<html><body>Bad Gateway</body></html>"},
                                        {200, "{\"id\": \"f"},
                                        {200, "[\"length\", 3]"},
                                        {200, "\xff\xfe{\"length\":"}};
    static const StagedReply kXml[] = {
        {500, ""},
        {502, "<html><body>Bad Gateway</body></html>"},
        {200, "<?xml version=\"1.0\"?><result><type>0</type><access_token>abc"},
        {200, "<result><type>0</type><access_token>&bogus;</access_token></result>"},
        {200, "\x01 not xml"}};
    const bool xml = resource == "login.json";
    const uint64_t kinds = resource == "file/upload.json" ? 2 : 5;
    StagedReply reply = xml ? kXml[chaos_.rng() % kinds] : kJson[chaos_.rng() % kinds];
    ++chaos_.injected[reply.status == 200 ? "malformed" : std::to_string(reply.status)];
    return reply;
  }
  for (auto it = failures_.begin(); it != failures_.end(); ++it) {
    if (it->resource == resource || it->resource == "*") {
      StagedReply reply = it->reply;
      if (--it->count <= 0) failures_.erase(it);
      return reply;
    }
  }
  return std::nullopt;
}

std::optional<int64_t> FaultSwitches::takeUploadDrop(std::optional<int64_t> bodyLength) {
  std::lock_guard lock(mutex_);
  if (drops_.empty()) {
    if (!chaosStrikes("file/upload.json")) return std::nullopt;
    ++chaos_.injected["drop"];
    uint64_t span =
        bodyLength && *bodyLength > 0 ? static_cast<uint64_t>(*bodyLength) : 2 * 1024 * 1024;
    return static_cast<int64_t>(chaos_.rng() % span);
  }
  int64_t bytes = drops_.front().afterBytes;
  if (bodyLength && *bodyLength <= bytes) return std::nullopt;
  if (--drops_.front().count <= 0) drops_.pop_front();
  return bytes;
}

int64_t FaultSwitches::delayFor(const std::string& resource) const {
  std::lock_guard lock(mutex_);
  if (chaos_.delaysLeft > 0 && chaos_.delayMs > 0 && chaosStrikes(resource)) {
    --chaos_.delaysLeft;
    ++chaos_.injected["delay"];
    return chaos_.delayMs;
  }
  if (auto it = delays_.find(resource); it != delays_.end()) return it->second;
  if (auto it = delays_.find(""); it != delays_.end()) return it->second;
  return 0;
}

}  // namespace quillbox::devserver
