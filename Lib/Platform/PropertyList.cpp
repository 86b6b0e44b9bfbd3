#include "Platform/PropertyList.h"

#include <plist/plist.h>

#include <cmath>
#include <limits>

#include "Platform/FileSystem.h"
#include "Platform/Log.h"

namespace quillbox::platform {
namespace {

// Seconds between 1970-01-01 and the plist epoch 2001-01-01.
constexpr double kEpoch2001 = 978307200.0;

PlistValue fromNode(plist_t node, int depth) {
  if (!node || depth > 512) return PlistValue();
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return PlistValue::boolean(b != 0);
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      // libplist keeps integers as 64-bit patterns; negative numbers come back two's-complement.
      return PlistValue::integer(static_cast<int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return PlistValue::real(d);
    }
    case PLIST_STRING: {
      char* s = nullptr;
      plist_get_string_val(node, &s);
      PlistValue v(std::string(s ? s : ""));
      free(s);
      return v;
    }
    case PLIST_KEY: {
      char* s = nullptr;
      plist_get_key_val(node, &s);
      PlistValue v(std::string(s ? s : ""));
      free(s);
      return v;
    }
    case PLIST_DATA: {
      char* d = nullptr;
      uint64_t len = 0;
      plist_get_data_val(node, &d, &len);
      PlistValue v = PlistValue::data(std::string(d ? d : "", d ? len : 0));
      free(d);
      return v;
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return PlistValue::date(kEpoch2001 + sec + usec / 1e6);
    }
    case PLIST_ARRAY: {
      PlistArray a;
      uint32_t n = plist_array_get_size(node);
      a.reserve(n);
      for (uint32_t i = 0; i < n; ++i) a.push_back(fromNode(plist_array_get_item(node, i), depth + 1));
      return PlistValue(std::move(a));
    }
    case PLIST_DICT: {
      PlistDict d;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      if (!it) return PlistValue(std::move(d));
      for (;;) {
        char* key = nullptr;
        plist_t val = nullptr;
        plist_dict_next_item(node, it, &key, &val);
        if (!val) {
          free(key);
          break;
        }
        d.set(key ? key : "", fromNode(val, depth + 1));
        free(key);
      }
      free(it);
      return PlistValue(std::move(d));
    }
    default:
      return PlistValue();
  }
}

plist_t toNode(const PlistValue& v) {
  using T = PlistValue::Type;
  switch (v.type()) {
    case T::None:
      return nullptr;
    case T::Boolean:
      return plist_new_bool(v.boolValue() ? 1 : 0);
    case T::Integer:
      return plist_new_uint(static_cast<uint64_t>(v.integerValue()));
    case T::Real:
      return plist_new_real(v.realValue());
    case T::String:
      return plist_new_string(v.asString()->c_str());
    case T::Data: {
      const std::string& b = v.asData()->bytes;
      return plist_new_data(b.data(), b.size());
    }
    case T::Date: {
      double rel = v.asDate()->secondsSince1970 - kEpoch2001;
      double whole = std::floor(rel);
      return plist_new_date(static_cast<int32_t>(whole),
                            static_cast<int32_t>(std::lround((rel - whole) * 1e6)));
    }
    case T::Array: {
      plist_t a = plist_new_array();
      for (const auto& e : *v.asArray()) {
        if (plist_t n = toNode(e)) plist_array_append_item(a, n);
      }
      return a;
    }
    case T::Dict: {
      plist_t d = plist_new_dict();
      for (const auto& [k, e] : *v.asDict()) {
        if (plist_t n = toNode(e)) plist_dict_set_item(d, k.c_str(), n);
      }
      return d;
    }
  }
  return nullptr;
}

// The XML text of strings, integers, booleans, arrays and dictionaries,
// written directly in libplist's layout (tabs, "<array/>", "&amp;" "&lt;" "&gt;"):
// a store of ten thousand records is written several times faster than by
// building libplist nodes first. False for any other type (libplist writes those).
bool appendXml(const PlistValue& v, int depth, std::string& out) {
  using T = PlistValue::Type;
  auto indent = [&](int d) { out.append(static_cast<size_t>(d), '\t'); };
  auto text = [&](const std::string& t) {
    for (char c : t) {
      switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
      }
    }
  };
  switch (v.type()) {
    case T::Boolean:
      indent(depth);
      out += v.boolValue() ? "<true/>\n" : "<false/>\n";
      return true;
    case T::Integer:
      indent(depth);
      out += "<integer>" + std::to_string(v.integerValue()) + "</integer>\n";
      return true;
    case T::String:
      indent(depth);
      out += "<string>";
      text(*v.asString());
      out += "</string>\n";
      return true;
    case T::Array: {
      const PlistArray& a = *v.asArray();
      bool any = false;
      for (const auto& e : a) any = any || !e.isNone();
      indent(depth);
      if (!any) {
        out += "<array/>\n";
        return true;
      }
      out += "<array>\n";
      for (const auto& e : a) {
        if (!e.isNone() && !appendXml(e, depth + 1, out)) return false;
      }
      indent(depth);
      out += "</array>\n";
      return true;
    }
    case T::Dict: {
      const PlistDict& d = *v.asDict();
      bool any = false;
      for (const auto& [k, e] : d) any = any || !e.isNone();
      indent(depth);
      if (!any) {
        out += "<dict/>\n";
        return true;
      }
      out += "<dict>\n";
      for (const auto& [k, e] : d) {
        if (e.isNone()) continue;
        indent(depth + 1);
        out += "<key>";
        text(k);
        out += "</key>\n";
        if (!appendXml(e, depth + 1, out)) return false;
      }
      indent(depth);
      out += "</dict>\n";
      return true;
    }
    default:
      return false;
  }
}

}  // namespace

std::optional<PlistValue> PropertyList::parse(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  plist_t root = nullptr;
  if (plist_is_binary(bytes.data(), static_cast<uint32_t>(bytes.size()))) {
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  } else {
    plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  }
  if (!root) return std::nullopt;
  PlistValue v = fromNode(root, 0);
  plist_free(root);
  return v;
}

std::string PropertyList::toXml(const PlistValue& value) {
  if (value.isDict()) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
        "1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n";
    if (appendXml(value, 0, out)) return out + "</plist>\n";
  }
  plist_t root = value.isNone() ? plist_new_dict() : toNode(value);
  char* xml = nullptr;
  uint32_t len = 0;
  plist_to_xml(root, &xml, &len);
  std::string out(xml ? xml : "", xml ? len : 0);
  plist_to_xml_free(xml);
  plist_free(root);
  return out;
}

std::string PropertyList::toBinary(const PlistValue& value) {
  plist_t root = value.isNone() ? plist_new_dict() : toNode(value);
  char* bin = nullptr;
  uint32_t len = 0;
  plist_to_bin(root, &bin, &len);
  std::string out(bin ? bin : "", bin ? len : 0);
  plist_to_bin_free(bin);
  plist_free(root);
  return out;
}

std::optional<PlistValue> PropertyList::read(const std::string& path) {
  auto bytes = FileSystem::Default().readFile(path);
  if (!bytes) return std::nullopt;
  auto v = parse(*bytes);
  if (!v) Log::printf("plist: unreadable property list %s", path.c_str());
  return v;
}

PlistDict PropertyList::readDictionary(const std::string& path) {
  auto v = read(path);
  if (v && v->asDict()) return std::move(*v->asDict());
  return PlistDict();
}

bool PropertyList::write(const std::string& path, const PlistValue& value) {
  return FileSystem::Default().writeAtomically(path, toXml(value));
}

}  // namespace quillbox::platform
