// Helpers shared by the property-list tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "PropertyList/PlistValue.h"
#include "TestSupport.h"

// The typed JSON form tests/unit/plistlib_peer.py writes of plistlib's values:
// ["s", text], ["i", n], ["r", IEEE bits], ["b", flag], ["d", microseconds
// since 1970], ["x", hex], ["a", [...]], ["o", [[key, value]...]], ["none"].
inline nlohmann::json typedPlist(const quillbox::PlistValue& v) {
  using T = quillbox::PlistValue::Type;
  switch (v.type()) {
    case T::None:
      return {"none"};
    case T::Boolean:
      return {"b", v.boolValue()};
    case T::Integer:
      if (auto i = v.asInteger()) return {"i", *i};
      return {"i", *v.asUnsignedInteger()};
    case T::Real: {
      const double d = *v.asReal();
      uint64_t bits;
      std::memcpy(&bits, &d, 8);
      return {"r", bits};
    }
    case T::String:
      return {"s", *v.asString()};
    case T::Data: {
      std::string hex;
      char buf[3];
      for (unsigned char c : v.asData()->bytes) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        hex += buf;
      }
      return {"x", hex};
    }
    case T::Date: {
      // Microseconds, rounded half to even as Python's timedelta rounds.
      const double s = v.asDate()->secondsSince2001;
      const double whole = std::floor(s);
      const auto micros = (static_cast<int64_t>(whole) + 978307200) * 1000000 +
                          static_cast<int64_t>(std::nearbyint((s - whole) * 1e6));
      return {"d", micros};
    }
    case T::Array: {
      nlohmann::json a = nlohmann::json::array();
      for (const auto& e : *v.asArray()) a.push_back(typedPlist(e));
      return {"a", a};
    }
    case T::Dict: {
      nlohmann::json o = nlohmann::json::array();
      for (const auto& [k, e] : *v.asDict()) o.push_back({k, typedPlist(e)});
      return {"o", o};
    }
  }
  return {"none"};
}

// Runs a shell command; its standard output in `out`, its exit status returned (-1 on failure).
inline int runCommand(const std::string& command, std::string& out) {
  FILE* p = popen(command.c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  size_t n;
  out.clear();
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
