#include "PropertyList/PlistValue.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "PropertyList/strprintf.h"
#include "base64/Base64.h"

namespace quillbox {

PlistValue::PlistValue(PlistArray a) : v_(PlistBox<PlistArray>(std::move(a))) {}
PlistValue::PlistValue(PlistDict d) : v_(PlistBox<PlistDict>(std::move(d))) {}

PlistValue PlistValue::boolean(bool b) {
  PlistValue v;
  v.v_ = b;
  return v;
}
PlistValue PlistValue::integer(int64_t i) {
  PlistValue v;
  v.v_ = PlistInteger{static_cast<uint64_t>(i), false};
  return v;
}
PlistValue PlistValue::unsignedInteger(uint64_t u) {
  PlistValue v;
  v.v_ = PlistInteger{u, u > static_cast<uint64_t>(INT64_MAX)};
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
  return dateSince2001(secondsSince1970 - PlistDate::kSince1970);
}
PlistValue PlistValue::dateSince2001(double secondsSince2001) {
  PlistValue v;
  v.v_ = PlistDate{secondsSince2001};
  return v;
}

const std::string* PlistValue::asString() const {
  return std::get_if<std::string>(&v_);
}
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
const PlistData* PlistValue::asData() const {
  return std::get_if<PlistData>(&v_);
}
const PlistDate* PlistValue::asDate() const {
  return std::get_if<PlistDate>(&v_);
}

std::optional<int64_t> PlistValue::asInteger() const {
  if (auto* i = std::get_if<PlistInteger>(&v_)) {
    if (i->isUnsigned) return std::nullopt;
    return static_cast<int64_t>(i->bits);
  }
  if (auto* b = std::get_if<bool>(&v_)) return *b ? 1 : 0;
  return std::nullopt;
}
std::optional<uint64_t> PlistValue::asUnsignedInteger() const {
  auto* i = std::get_if<PlistInteger>(&v_);
  if (!i || (!i->isUnsigned && static_cast<int64_t>(i->bits) < 0)) return std::nullopt;
  return i->bits;
}
std::optional<double> PlistValue::asReal() const {
  if (auto* d = std::get_if<double>(&v_)) return *d;
  if (auto i = asInteger()) return static_cast<double>(*i);
  if (auto u = asUnsignedInteger()) return static_cast<double>(*u);
  return std::nullopt;
}

namespace {

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar (and back).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}
void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}
// Seconds since 2001 of 0001-01-01T00:00:00Z and of 10000-01-01T00:00:00Z.
const double kFirstSecond =
    static_cast<double>(daysFromCivil(1, 1, 1) * 86400) - PlistDate::kSince1970;
const double kPastLast =
    static_cast<double>(daysFromCivil(10000, 1, 1) * 86400) - PlistDate::kSince1970;

}  // namespace

bool PlistDate::inRange() const {
  return secondsSince2001 >= kFirstSecond && secondsSince2001 < kPastLast;
}

std::optional<std::string> PlistDate::isoText() const {
  if (!inRange()) return std::nullopt;
  // Whole seconds since 1970 are exact in a double across the whole range.
  const auto t =
      static_cast<int64_t>(std::floor(secondsSince2001)) + static_cast<int64_t>(kSince1970);
  const int64_t days = (t >= 0 ? t : t - 86399) / 86400;
  const int64_t secs = t - days * 86400;
  int64_t y;
  unsigned m, d;
  civilFromDays(days, y, m, d);
  return strprintf("%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<long long>(y), m, d,
                   static_cast<long long>(secs / 3600), static_cast<long long>(secs / 60 % 60),
                   static_cast<long long>(secs % 60));
}

std::optional<PlistDate> PlistDate::fromIsoText(std::string_view t) {
  if (t.size() != 20 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' ||
      t[16] != ':' || t[19] != 'Z')
    return std::nullopt;
  auto num = [&](size_t at, size_t len, int& out) {
    out = 0;
    for (size_t i = at; i < at + len; ++i) {
      if (t[i] < '0' || t[i] > '9') return false;
      out = out * 10 + (t[i] - '0');
    }
    return true;
  };
  int y, mo, d, h, mi, s;
  if (!num(0, 4, y) || !num(5, 2, mo) || !num(8, 2, d) || !num(11, 2, h) || !num(14, 2, mi) ||
      !num(17, 2, s))
    return std::nullopt;
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] + (mo == 2 && leap) || h > 23 ||
      mi > 59 || s > 59)
    return std::nullopt;
  const int64_t unix =
      daysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 + h * 3600 +
      mi * 60 + s;
  return PlistDate{static_cast<double>(unix) - kSince1970};
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
  if (asUnsignedInteger()) return INT64_MAX;  // 2^63 and above
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
  if (auto* i = std::get_if<PlistInteger>(&v_)) return i->bits != 0;
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
  if (auto i = asInteger()) return std::to_string(*i);
  if (auto u = asUnsignedInteger()) return std::to_string(*u);
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

std::string PlistData::base64() const {
  return Base64::encode(bytes, Base64::Alphabet::Standard);
}

nlohmann::ordered_json toJson(const PlistValue& v) {
  using T = PlistValue::Type;
  switch (v.type()) {
    case T::None:
      return nullptr;
    case T::Boolean:
      return v.boolValue();
    case T::Integer:
      if (auto u = v.asUnsignedInteger()) return *u;
      return v.integerValue();
    case T::Real:
      return v.realValue();
    case T::String:
      return *v.asString();
    case T::Data:
      return v.asData()->base64();
    case T::Date:
      return v.asDate()->isoText().value_or("");
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
  // (Unsigned numbers answer is_number_integer() too.)
  if (j.is_number_unsigned()) return PlistValue::unsignedInteger(j.template get<uint64_t>());
  if (j.is_number_integer()) return PlistValue::integer(j.template get<int64_t>());
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

PlistValue fromJson(const nlohmann::json& j) {
  return fromJsonT(j);
}
PlistValue fromJson(const nlohmann::ordered_json& j) {
  return fromJsonT(j);
}

}  // namespace quillbox
