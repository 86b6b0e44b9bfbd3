#include "Platform/PlistValue.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>

#include "Platform/Log.h"

namespace quillbox::platform {

PlistValue::PlistValue(PlistArray a) : v_(PlistBox<PlistArray>(std::move(a))) {}
PlistValue::PlistValue(PlistDict d) : v_(PlistBox<PlistDict>(std::move(d))) {}

PlistValue PlistValue::boolean(bool b) {
  PlistValue v;
  v.v_ = b;
  return v;
}
PlistValue PlistValue::integer(int64_t i) {
  PlistValue v;
  v.v_ = i;
  return v;
}
PlistValue PlistValue::real(double d) {
  PlistValue v;
  v.v_ = d;
  return v;
}
PlistValue PlistValue::data(std::string bytes) {
  PlistValue v;
  v.v_ = PlistData{std::move(bytes)};
  return v;
}
PlistValue PlistValue::date(double secondsSince1970) {
  PlistValue v;
  v.v_ = PlistDate{secondsSince1970};
  return v;
}

const std::string* PlistValue::asString() const { return std::get_if<std::string>(&v_); }
const PlistArray* PlistValue::asArray() const {
  auto* b = std::get_if<PlistBox<PlistArray>>(&v_);
  return b ? b->get() : nullptr;
}
PlistArray* PlistValue::asArray() {
  auto* b = std::get_if<PlistBox<PlistArray>>(&v_);
  return b ? b->get() : nullptr;
}
const PlistDict* PlistValue::asDict() const {
  auto* b = std::get_if<PlistBox<PlistDict>>(&v_);
  return b ? b->get() : nullptr;
}
PlistDict* PlistValue::asDict() {
  auto* b = std::get_if<PlistBox<PlistDict>>(&v_);
  return b ? b->get() : nullptr;
}
const PlistData* PlistValue::asData() const { return std::get_if<PlistData>(&v_); }
const PlistDate* PlistValue::asDate() const { return std::get_if<PlistDate>(&v_); }

std::optional<int64_t> PlistValue::asInteger() const {
  if (auto* i = std::get_if<int64_t>(&v_)) return *i;
  if (auto* b = std::get_if<bool>(&v_)) return *b ? 1 : 0;
  return std::nullopt;
}
std::optional<double> PlistValue::asReal() const {
  if (auto* d = std::get_if<double>(&v_)) return *d;
  if (auto i = asInteger()) return static_cast<double>(*i);
  return std::nullopt;
}

namespace {
// Leading decimal integer of a text: white space, one sign, digits; saturates.
int64_t leadingInteger(const std::string& s) {
  errno = 0;
  const char* p = s.c_str();
  char* end = nullptr;
  long long v = std::strtoll(p, &end, 10);
  if (end == p) return 0;
  return v;
}
}  // namespace

int64_t PlistValue::integerValue() const {
  if (auto i = asInteger()) return *i;
  if (auto* d = std::get_if<double>(&v_)) {
    if (std::isnan(*d)) return 0;
    if (*d >= 9.2e18) return INT64_MAX;
    if (*d <= -9.2e18) return INT64_MIN;
    return static_cast<int64_t>(*d);
  }
  if (auto* s = asString()) return leadingInteger(*s);
  return 0;
}

double PlistValue::realValue() const {
  if (auto d = asReal()) return *d;
  if (auto* s = asString()) return std::strtod(s->c_str(), nullptr);
  return 0;
}

bool PlistValue::boolValue() const {
  if (auto* b = std::get_if<bool>(&v_)) return *b;
  if (auto* i = std::get_if<int64_t>(&v_)) return *i != 0;
  if (auto* d = std::get_if<double>(&v_)) return *d != 0;
  if (auto* s = asString()) {
    size_t i = 0;
    while (i < s->size() && std::isspace(static_cast<unsigned char>((*s)[i]))) ++i;
    if (i < s->size() && ((*s)[i] == '+' || (*s)[i] == '-')) ++i;
    while (i < s->size() && (*s)[i] == '0') ++i;
    if (i >= s->size()) return false;
    char c = (*s)[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
  }
  return false;
}

std::string PlistValue::stringValue() const {
  if (auto* s = asString()) return *s;
  if (auto* b = std::get_if<bool>(&v_)) return *b ? "1" : "0";
  if (auto* i = std::get_if<int64_t>(&v_)) return std::to_string(*i);
  if (auto* d = std::get_if<double>(&v_)) return strprintf("%g", *d);
  return {};
}

bool PlistValue::operator==(const PlistValue& o) const {
  if (type() != o.type()) return false;
  switch (type()) {
    case Type::Array:
      return *asArray() == *o.asArray();
    case Type::Dict:
      return *asDict() == *o.asDict();
    default:
      break;
  }
  // Every other alternative compares by value.
  return std::visit(
      [&](const auto& a) -> bool {
        using T = std::decay_t<decltype(a)>;
        if constexpr (std::is_same_v<T, PlistBox<PlistArray>> ||
                      std::is_same_v<T, PlistBox<PlistDict>>) {
          return false;
        } else {
          return a == std::get<T>(o.v_);
        }
      },
      v_);
}

std::string PlistValue::description() const {
  if (auto* s = asString()) return *s;
  return toJson(*this).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

const PlistValue* PlistDict::find(std::string_view key) const {
  for (const auto& it : items_)
    if (it.first == key) return &it.second;
  return nullptr;
}
PlistValue* PlistDict::find(std::string_view key) {
  for (auto& it : items_)
    if (it.first == key) return &it.second;
  return nullptr;
}
void PlistDict::set(std::string key, PlistValue value) {
  if (PlistValue* v = find(key)) {
    *v = std::move(value);
    return;
  }
  items_.emplace_back(std::move(key), std::move(value));
}
void PlistDict::setAtEnd(std::string key, PlistValue value) {
  erase(key);
  items_.emplace_back(std::move(key), std::move(value));
}
bool PlistDict::erase(std::string_view key) {
  for (auto it = items_.begin(); it != items_.end(); ++it) {
    if (it->first == key) {
      items_.erase(it);
      return true;
    }
  }
  return false;
}
std::string PlistDict::getString(std::string_view key) const {
  const PlistValue* v = find(key);
  return v ? v->stringValue() : std::string();
}
int64_t PlistDict::getInteger(std::string_view key) const {
  const PlistValue* v = find(key);
  return v ? v->integerValue() : 0;
}
bool PlistDict::getBool(std::string_view key) const {
  const PlistValue* v = find(key);
  return v ? v->boolValue() : false;
}

namespace {
const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
std::string base64(const std::string& in) {
  std::string out;
  size_t i = 0;
  while (i + 2 < in.size()) {
    uint32_t n = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
    out += kB64[n >> 18];
    out += kB64[(n >> 12) & 63];
    out += kB64[(n >> 6) & 63];
    out += kB64[n & 63];
    i += 3;
  }
  if (i + 1 == in.size()) {
    uint32_t n = uint8_t(in[i]) << 16;
    out += kB64[n >> 18];
    out += kB64[(n >> 12) & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    uint32_t n = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8);
    out += kB64[n >> 18];
    out += kB64[(n >> 12) & 63];
    out += kB64[(n >> 6) & 63];
    out += '=';
  }
  return out;
}
}  // namespace

nlohmann::ordered_json toJson(const PlistValue& v) {
  using T = PlistValue::Type;
  switch (v.type()) {
    case T::None:
      return nullptr;
    case T::Boolean:
      return v.boolValue();
    case T::Integer:
      return v.integerValue();
    case T::Real:
      return v.realValue();
    case T::String:
      return *v.asString();
    case T::Data:
      return base64(v.asData()->bytes);
    case T::Date: {
      std::time_t t = static_cast<std::time_t>(v.asDate()->secondsSince1970);
      std::tm tm{};
      gmtime_r(&t, &tm);
      char buf[32];
      strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
      return std::string(buf);
    }
    case T::Array: {
      nlohmann::ordered_json a = nlohmann::ordered_json::array();
      for (const auto& e : *v.asArray()) a.push_back(toJson(e));
      return a;
    }
    case T::Dict: {
      nlohmann::ordered_json o = nlohmann::ordered_json::object();
      for (const auto& [k, e] : *v.asDict()) o[k] = toJson(e);
      return o;
    }
  }
  return nullptr;
}

namespace {
template <typename J>
PlistValue fromJsonT(const J& j) {
  if (j.is_boolean()) return PlistValue::boolean(j.template get<bool>());
  if (j.is_number_integer()) return PlistValue::integer(j.template get<int64_t>());
  if (j.is_number_unsigned()) return PlistValue::integer(static_cast<int64_t>(j.template get<uint64_t>()));
  if (j.is_number_float()) return PlistValue::real(j.template get<double>());
  if (j.is_string()) return PlistValue(j.template get<std::string>());
  if (j.is_array()) {
    PlistArray a;
    for (const auto& e : j) a.push_back(fromJsonT(e));
    return PlistValue(std::move(a));
  }
  if (j.is_object()) {
    PlistDict d;
    for (auto it = j.begin(); it != j.end(); ++it) d.set(it.key(), fromJsonT(it.value()));
    return PlistValue(std::move(d));
  }
  return PlistValue();
}
}  // namespace

PlistValue fromJson(const nlohmann::json& j) { return fromJsonT(j); }
PlistValue fromJson(const nlohmann::ordered_json& j) { return fromJsonT(j); }

}  // namespace quillbox::platform
