// The direct XML plist reader against its peers: libplist (the reader it stands
// in for) and Python's plistlib (an independent writer and reader).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Platform/PropertyList.h"
#include "TestSupport.h"

using namespace quillbox::platform;

namespace {

using Rng = std::mt19937_64;

int pick(Rng& rng, int n) {
  return static_cast<int>(rng() % static_cast<uint64_t>(n));
}

const char* const kPieces[] = {"a",  "hello", " ",   "  lead", "trail  ", "\n", "\t", "\r\n",
                               "中", "文件",  "&",   "<",      ">",       "\"", "'",  "&amp;",
                               "😀",  "é",     "]]>", "x y z",  "/",       "=",  "0",  "-1"};

std::string randomText(Rng& rng) {
  std::string s;
  int n = pick(rng, 6);
  for (int i = 0; i < n; ++i) s += kPieces[pick(rng, std::size(kPieces))];
  return s;
}

int64_t randomInteger(Rng& rng) {
  switch (pick(rng, 6)) {
    case 0:
      return pick(rng, 100);
    case 1:
      return -pick(rng, 100000);
    case 2:
      return std::numeric_limits<int64_t>::min();
    case 3:
      return std::numeric_limits<int64_t>::max();
    case 4:
      return -1;  // what "18446744073709551615" becomes
    default:
      return static_cast<int64_t>(rng());
  }
}

double randomReal(Rng& rng) {
  static const double fixed[] = {0.0, 0.1, -2.5, 1e-300, 3.14159, 1e100, -7.0, 123456.789};
  if (pick(rng, 2)) return fixed[pick(rng, std::size(fixed))];
  std::uniform_real_distribution<double> d(-1e6, 1e6);
  return d(rng);
}

// Whole seconds between 1933 and 2068 (the span a libplist date holds).
double randomDate(Rng& rng) {
  return -1167609600.0 + static_cast<double>(rng() % (4300000000ULL));
}

PlistValue randomValue(Rng& rng, int depth, bool common) {
  int kinds = common ? 5 : 8;
  int k = depth >= 4 ? pick(rng, kinds - 2) : pick(rng, kinds);
  // common: string, integer, boolean, containers (what our own writer writes).
  if (common && k >= 3) k += 3;
  switch (k) {
    case 0:
      return PlistValue(randomText(rng));
    case 1:
      return PlistValue::integer(randomInteger(rng));
    case 2:
      return PlistValue::boolean(pick(rng, 2) == 1);
    case 3:
      return PlistValue::real(randomReal(rng));
    case 4:
      return PlistValue::date(randomDate(rng));
    case 5: {
      std::string b;
      int n = pick(rng, 80);
      for (int i = 0; i < n; ++i) b += static_cast<char>(rng());
      return PlistValue::data(b);
    }
    case 6:
    case 7:
    default: {
      int n = pick(rng, 5);
      if (k % 2 == 0) {
        PlistArray a;
        for (int i = 0; i < n; ++i) a.push_back(randomValue(rng, depth + 1, common));
        return PlistValue(std::move(a));
      }
      PlistDict d;
      for (int i = 0; i < n; ++i) d.set(randomText(rng), randomValue(rng, depth + 1, common));
      return PlistValue(std::move(d));
    }
  }
}

PlistValue randomDocument(Rng& rng, bool common) {
  PlistDict top;
  int n = 1 + pick(rng, 5);
  for (int i = 0; i < n; ++i) top.set(randomText(rng), randomValue(rng, 1, common));
  return PlistValue(std::move(top));
}

// Hand-written XML with the freedoms of the format: spacing, comments, empty
// forms, entity and character references, split Base64, repeated keys.
class TextGenerator {
 public:
  explicit TextGenerator(Rng& rng) : rng_(rng) {}

  std::string document() {
    std::string out;
    if (pick(rng_, 3)) out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    space(out);
    if (pick(rng_, 2))
      out +=
          "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
          "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">";
    space(out);
    out += pick(rng_, 2) ? "<plist version=\"1.0\">"
                         : (pick(rng_, 2) ? "<plist>" : "<plist version='1.0' >");
    space(out);
    value(out, 0);
    space(out);
    out += "</plist>";
    space(out);
    return out;
  }

 private:
  void space(std::string& out) {
    static const char* const ws[] = {
        "", "\n", "\t", " ", "\r\n", "\n\t\t", "<!-- note -->", "<!--<dict>&amp;-->"};
    out += ws[pick(rng_, std::size(ws))];
  }
  void text(std::string& out) {
    int n = pick(rng_, 5);
    for (int i = 0; i < n; ++i) {
      switch (pick(rng_, 8)) {
        case 0:
          out += "&amp;&lt;&gt;&quot;&apos;";
          break;
        case 1: {
          // A character reference, decimal or hex, for a point of any width.
          static const uint32_t cps[] = {0x9,    0xA,    0xD,    0x41,   0xE9,
                                         0x4E2D, 0xFFFD, 0xFFFF, 0x1F600};
          uint32_t cp = cps[pick(rng_, std::size(cps))];
          char buf[24];
          std::snprintf(buf, sizeof buf, pick(rng_, 2) ? "&#%u;" : "&#x%X;", cp);
          out += buf;
          break;
        }
        case 2:
          out += " \n spaced \t ";
          break;
        case 3:
          out += "中文 ' \" >";
          break;
        default:
          out += kPieces[pick(rng_, 10)];
          break;  // no bare '&' or '<'
      }
    }
  }
  void value(std::string& out, int depth) {
    int k = depth >= 5 ? pick(rng_, 8) : pick(rng_, 10);
    switch (k) {
      case 0:
        if (pick(rng_, 4) == 0) {
          out += "<string/>";
        } else {
          out += "<string>";
          text(out);
          out += pick(rng_, 2) ? "</string>" : "</string >";
        }
        break;
      case 1: {
        static const char* const ints[] = {"0",
                                           "-0",
                                           "7",
                                           "-42",
                                           "9223372036854775807",
                                           "-9223372036854775808",
                                           "18446744073709551615",
                                           "9223372036854775808",
                                           "-18446744073709551615"};
        out += std::string("<integer>") + ints[pick(rng_, std::size(ints))] + "</integer>";
        break;
      }
      case 2: {
        static const char* const reals[] = {"0.0",
                                            "-1.5",
                                            "3",
                                            ".25",
                                            "1e10",
                                            "1.5E-7",
                                            "-0.0",
                                            "123456789.123456789",
                                            "2.2250738585072014e-308"};
        out += std::string("<real>") + reals[pick(rng_, std::size(reals))] + "</real>";
        break;
      }
      case 3:
        out += pick(rng_, 2) ? "<true/>" : "<false />";
        break;
      case 4: {
        static const char* const dates[] = {"2015-01-01T09:05:07Z", "1970-01-01T00:00:00Z",
                                            "2001-01-01T00:00:00Z", "1999-12-31T23:59:59Z",
                                            "2024-02-29T12:00:00Z", "1950-06-15T01:02:03Z",
                                            "2068-12-31T23:59:59Z"};
        out += std::string("<date>") + dates[pick(rng_, std::size(dates))] + "</date>";
        break;
      }
      case 5: {
        static const char* const data[] = {
            "",         "QQ==", "QUI=", "QUJD", "\n\tAAEC\n\tAwQF\n\t", " S G V s b G 8 = ",
            "5Lit5paH", "/+8="};
        if (pick(rng_, 5) == 0) {
          out += "<data/>";
        } else {
          out += std::string("<data>") + data[pick(rng_, std::size(data))] + "</data>";
        }
        break;
      }
      case 6:
      case 7:
      case 8:
      case 9: {
        bool dict = k % 2 == 0;
        int n = pick(rng_, 4);
        if (n == 0 && pick(rng_, 2)) {
          out += dict ? "<dict/>" : "<array/>";
          break;
        }
        out += dict ? "<dict>" : "<array>";
        for (int i = 0; i < n; ++i) {
          space(out);
          if (dict) {
            out += "<key>";
            if (pick(rng_, 4) == 0) {
              out += "dup";  // a key that may come again
            } else {
              text(out);
            }
            out += "</key>";
            space(out);
          }
          value(out, depth + 1);
        }
        space(out);
        out += dict ? "</dict>" : "</array>";
        break;
      }
    }
  }

  Rng& rng_;
};

std::string describe(const std::optional<PlistValue>& v) {
  return v ? v->description() : std::string("(nullopt)");
}

std::string tempDir() {
  char tmpl[] = "/tmp/plistreader.XXXXXX";
  return mkdtemp(tmpl);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The typed JSON form the plistlib script writes: ["s", text], ["i", n],
// ["r", x], ["b", flag], ["d", unix seconds], ["x", hex], ["a", [...]], ["o", [[k, v]...]].
nlohmann::json typed(const PlistValue& v) {
  using T = PlistValue::Type;
  switch (v.type()) {
    case T::String:
      return {"s", *v.asString()};
    case T::Integer:
      return {"i", *v.asInteger()};
    case T::Real:
      return {"r", *v.asReal()};
    case T::Boolean:
      return {"b", v.boolValue()};
    case T::Date:
      return {"d", static_cast<int64_t>(v.asDate()->secondsSince1970)};
    case T::Data: {
      std::string hex;
      char buf[3];
      for (unsigned char c : v.asData()->bytes) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        hex += buf;
      }
      return {"x", hex};
    }
    case T::Array: {
      nlohmann::json a = nlohmann::json::array();
      for (const auto& e : *v.asArray()) a.push_back(typed(e));
      return {"a", a};
    }
    case T::Dict: {
      nlohmann::json o = nlohmann::json::array();
      for (const auto& [k, e] : *v.asDict()) o.push_back({k, typed(e)});
      return {"o", o};
    }
    default:
      return {"none"};
  }
}

// plistlib's integers above INT64_MAX are the same 64-bit patterns for us.
void normalizeTyped(nlohmann::json& j) {
  if (!j.is_array() || j.empty() || !j[0].is_string()) return;
  std::string tag = j[0];
  if (tag == "i" && j[1].is_number_unsigned()) {
    j[1] = static_cast<int64_t>(j[1].get<uint64_t>());
  } else if (tag == "a") {
    for (auto& e : j[1]) normalizeTyped(e);
  } else if (tag == "o") {
    for (auto& kv : j[1]) normalizeTyped(kv[1]);
  }
}

const char* const kPlistlibScript = R"PY(
import calendar, datetime, json, plistlib, random, sys
out = sys.argv[1]
random.seed(20240101)
pieces = ["a", " lead", "trail ", "\n", "\t", "中文", "&<>\"'", "&amp;", "😀", "x  y", "]]>", ""]
def text():
    return "".join(random.choice(pieces) for _ in range(random.randint(0, 5)))
def scalar():
    k = random.randint(0, 6)
    if k == 0: return text()
    if k == 1: return random.choice([0, -1, 42, -2**63, 2**63 - 1, 2**63, 2**64 - 1, random.randint(-2**63, 2**64 - 1)])
    if k == 2: return random.choice([0.5, -1e-300, 1e100, 3.141592653589793, random.uniform(-1e9, 1e9)])
    if k == 3: return random.choice([True, False])
    if k == 4: return datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=random.randint(-1167609600, 3124137600))
    if k == 5: return bytes(random.getrandbits(8) for _ in range(random.randint(0, 120)))
    return text()
def value(depth):
    k = random.randint(0, 9 if depth < 4 else 5)
    if k <= 5: return scalar()
    n = random.randint(0, 4)
    if k % 2: return [value(depth + 1) for _ in range(n)]
    return {text() + str(i): value(depth + 1) for i in range(n)}
def typed(v):
    if isinstance(v, bool): return ["b", v]
    if isinstance(v, int): return ["i", v]
    if isinstance(v, float): return ["r", v]
    if isinstance(v, str): return ["s", v]
    if isinstance(v, bytes): return ["x", v.hex()]
    if isinstance(v, datetime.datetime): return ["d", calendar.timegm(v.utctimetuple())]
    if isinstance(v, list): return ["a", [typed(e) for e in v]]
    return ["o", [[k, typed(e)] for k, e in v.items()]]
for i in range(60):
    doc = {"root": [], "k" + str(i): value(0), text() + "z": value(1)}
    with open("%s/%d.plist" % (out, i), "wb") as f:
        f.write(plistlib.dumps(doc, fmt=plistlib.FMT_XML, sort_keys=False))
    with open("%s/%d.json" % (out, i), "w") as f:
        json.dump(typed(doc), f)
)PY";

// The store of records as the property store writes it.
PlistValue storeDocument(int records) {
  PlistArray a;
  for (int i = 0; i < records; ++i) {
    PlistDict d;
    d.set("type", PlistValue::integer(8));
    d.set("time", PlistValue::integer(1700000000000 + i));
    d.set("sha1", PlistValue("0123456789abcdef0123456789abcdef01234567"));
    d.set("md5", PlistValue(""));
    d.set("size", PlistValue::integer(100000 + i));
    d.set("path", PlistValue("/var/mobile/Documents/ScreenShot/alice/截图 " + std::to_string(i) +
                             " & <copy>.png"));
    d.set("state", PlistValue::integer(i % 3));
    d.set("hash", PlistValue("fedcba9876543210fedcba9876543210fedcba98"));
    d.set("fileID", PlistValue(std::to_string(i)));
    a.emplace_back(std::move(d));
  }
  PlistDict top;
  top.set("root", PlistValue(PlistArray{}));
  top.set("alice", PlistValue(std::move(a)));
  return PlistValue(std::move(top));
}

// Depth of the chain of first elements, and whether it ends in a none value.
int chainDepth(const PlistValue& v, bool& endsInNone) {
  int depth = 0;
  const PlistValue* p = &v;
  for (;;) {
    const PlistValue* next = nullptr;
    if (p->asArray() && !p->asArray()->empty()) next = &p->asArray()->front();
    if (p->asDict() && !p->asDict()->empty()) next = &p->asDict()->begin()->second;
    if (!next) break;
    ++depth;
    p = next;
  }
  endsInNone = p->isNone();
  return depth;
}

}  // namespace

TEST(PlistReader, RandomValuesReadAsLibplistReadsThem) {
  Rng rng(12345);
  for (int i = 0; i < 400; ++i) {
    // Half stay within the types our own writer writes, half go through libplist's writer.
    PlistValue doc = randomDocument(rng, i % 2 == 0);
    std::string xml = PropertyList::toXml(doc);
    auto direct = PropertyList::parseXmlDirect(xml);
    auto reference = PropertyList::parseWithLibplist(xml);
    ASSERT_TRUE(direct) << "not handled:\n" << xml;
    ASSERT_TRUE(reference) << xml;
    ASSERT_EQ(*direct, *reference)
        << xml << "\ndirect:  " << describe(direct) << "\nlibplist: " << describe(reference);
    EXPECT_EQ(PropertyList::parse(xml), direct);
    // Without reals and dates (which the text form rounds) the value comes back whole.
    if (i % 2 == 0) {
      EXPECT_EQ(*direct, doc) << xml;
    }
  }
}

TEST(PlistReader, HandWrittenTextReadsAsLibplistReadsIt) {
  Rng rng(777);
  for (int i = 0; i < 1500; ++i) {
    std::string xml = TextGenerator(rng).document();
    auto direct = PropertyList::parseXmlDirect(xml);
    auto reference = PropertyList::parseWithLibplist(xml);
    ASSERT_TRUE(direct) << "not handled:\n" << xml;
    ASSERT_EQ(direct, reference) << xml << "\ndirect:  " << describe(direct)
                                 << "\nlibplist: " << describe(reference);
  }
}

TEST(PlistReader, KnownValues) {
  const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
  auto one = [&](const std::string& body) {
    return PropertyList::parseXmlDirect(head + body + "\n</plist>\n");
  };
  EXPECT_EQ(one("<date>2015-01-01T09:05:07Z</date>"), PlistValue::date(1420103107));
  EXPECT_EQ(one("<date>1970-01-01T00:00:00Z</date>"), PlistValue::date(0));
  EXPECT_EQ(one("<integer>18446744073709551615</integer>"), PlistValue::integer(-1));
  EXPECT_EQ(one("<integer>-9223372036854775808</integer>"),
            PlistValue::integer(std::numeric_limits<int64_t>::min()));
  EXPECT_EQ(one("<real>-1.25e2</real>"), PlistValue::real(-125.0));
  EXPECT_EQ(one("<string> two\r\n lines\t</string>"), PlistValue(" two\r\n lines\t"));
  EXPECT_EQ(one("<string>&lt;&#20013;&#x6587;&gt;</string>"), PlistValue("<中文>"));
  EXPECT_EQ(one("<data> SGVs\n bG8= </data>"), PlistValue::data("Hello"));
  // A repeated key keeps its first place and takes the last value.
  auto d =
      one("<dict><key>a</key><integer>1</integer><key>b</key><true/>"
          "<key>a</key><string>last</string></dict>");
  ASSERT_TRUE(d && d->asDict());
  ASSERT_EQ(d->asDict()->size(), 2u);
  EXPECT_EQ(d->asDict()->begin()->first, "a");
  EXPECT_EQ(d->asDict()->getString("a"), "last");
}

TEST(PlistReader, AnythingElseIsLeftToLibplist) {
  const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
  const std::vector<std::string> bodies = {
      "<string>a<![CDATA[<b>]]>c</string>",       // CDATA
      "<string>a<!-- c -->b</string>",            // comment inside text
      "<integer>010</integer>",                   // octal to libplist
      "<integer>0x10</integer>",                  // hex
      "<integer>+7</integer>",                    // sign
      "<integer> 7 </integer>",                   // spaces
      "<integer>18446744073709551616</integer>",  // overflow
      "<integer></integer>",
      "<real>nan</real>",
      "<real>1e400</real>",
      "<date>2015-01-01T09:05:07.5Z</date>",  // fractions
      "<date>2100-01-01T00:00:00Z</date>",    // past a libplist date's range
      "<date>2015-02-30T00:00:00Z</date>",
      "<data>QQ</data>",  // no padding
      "<data>Q!QQ=</data>",
      "<true></true>",
      "<dict a=\"b\"><key>k</key><true/></dict>",  // attributes
      "<dict><key>a</key></dict>",                 // a key without value
      "<dict><key/><true/></dict>",
      "<string>&foo;</string>",  // unknown entity
      "<string>&#0;</string>",
      "<string>&#xD800;</string>",
      "<string>a & b</string>",
      "<true/><false/>",  // two values
      "<unknown>x</unknown>",
      "<array><string>a</string>b</array>",  // stray text
  };
  for (const auto& body : bodies) {
    std::string xml = head + body + "\n</plist>\n";
    EXPECT_FALSE(PropertyList::parseXmlDirect(xml)) << body;
    // (By description: a NaN never equals itself.)
    EXPECT_EQ(describe(PropertyList::parse(xml)), describe(PropertyList::parseWithLibplist(xml)))
        << body;
  }
  const std::vector<std::string> documents = {
      "\xEF\xBB\xBF<plist><true/></plist>",  // byte order mark
      "<?xml version=\"1.0\"?><?other pi?><plist><true/></plist>",
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><plist><string>\xE9</string></plist>",
      "<true/>",  // no <plist>
      "<plist><true/></plist>junk",
      "<!DOCTYPE plist [<!ENTITY e \"x\">]><plist><string>&e;</string></plist>",
      "<plist><string>\xFF\xFE</string></plist>",  // not UTF-8
  };
  for (const auto& xml : documents) {
    EXPECT_FALSE(PropertyList::parseXmlDirect(xml)) << xml;
    EXPECT_EQ(PropertyList::parse(xml), PropertyList::parseWithLibplist(xml)) << xml;
  }
  // Binary plists never reach the direct reader.
  PlistDict d;
  d.set("k", PlistValue::integer(3));
  std::string bin = PropertyList::toBinary(PlistValue(d));
  EXPECT_FALSE(PropertyList::parseXmlDirect(bin));
  EXPECT_EQ(PropertyList::parse(bin), PlistValue(d));
}

TEST(PlistReader, PlistlibFilesReadAsPlistlibWroteThem) {
  if (std::system("python3 -c 'import plistlib' 2>/dev/null") != 0)
    PREREQUISITE_MISSING("python3 with plistlib is not available");
  const std::string dir = tempDir();
  { std::ofstream(dir + "/gen.py") << kPlistlibScript; }
  std::string cmd = "python3 '" + dir + "/gen.py' '" + dir + "' 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << "the generator script failed";
  for (int i = 0; i < 60; ++i) {
    std::string base = dir + "/" + std::to_string(i);
    std::string xml = readFile(base + ".plist");
    nlohmann::json expected = nlohmann::json::parse(readFile(base + ".json"));
    normalizeTyped(expected);
    auto direct = PropertyList::parseXmlDirect(xml);
    ASSERT_TRUE(direct) << "not handled: " << base << ".plist";
    EXPECT_EQ(typed(*direct), expected) << base << ".plist";
    EXPECT_EQ(direct, PropertyList::parseWithLibplist(xml)) << base << ".plist";
  }
  std::filesystem::remove_all(dir);
}

TEST(PlistReader, StoreOfRecordsReadsWhole) {
  PlistValue store = storeDocument(300);
  std::string xml = PropertyList::toXml(store);
  auto direct = PropertyList::parseXmlDirect(xml);
  ASSERT_TRUE(direct);
  EXPECT_EQ(*direct, store);
  EXPECT_EQ(direct, PropertyList::parseWithLibplist(xml));
  const std::string dir = tempDir();
  ASSERT_TRUE(PropertyList::write(dir + "/store.plist", store));
  EXPECT_EQ(PropertyList::read(dir + "/store.plist"), store);
  std::filesystem::remove_all(dir);
}

TEST(PlistReader, TruncatedAndDamagedTextNeverCrashes) {
  PlistDict d;
  d.set("name", PlistValue(" 中文 & <x> "));
  d.set("n", PlistValue::integer(-42));
  d.set("r", PlistValue::real(2.5));
  d.set("when", PlistValue::date(1420103107));
  d.set("bytes", PlistValue::data("\x01\x02\x03\x04\x05"));
  d.set("list", PlistValue(PlistArray{PlistValue::boolean(true), PlistValue(PlistDict{}),
                                      PlistValue(PlistArray{})}));
  const std::string xml = PropertyList::toXml(PlistValue(d));
  for (size_t n = 0; n < xml.size(); ++n) {
    std::string cut = xml.substr(0, n);
    auto direct = PropertyList::parseXmlDirect(cut);
    auto v = PropertyList::parse(cut);
    // Only a cut inside the trailing white space leaves a whole document.
    if (direct) {
      EXPECT_EQ(direct, PropertyList::parseWithLibplist(cut)) << n;
    }
    if (n < xml.rfind("</plist>")) {
      EXPECT_FALSE(direct) << n;
    }
  }
  Rng rng(99);
  int handled = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string bad = xml;
    int flips = 1 + pick(rng, 3);
    for (int f = 0; f < flips; ++f) {
      char& c = bad[rng() % bad.size()];
      c = pick(rng, 2) ? static_cast<char>(rng()) : "<>/&;=\"x \0"[pick(rng, 10)];
    }
    auto direct = PropertyList::parseXmlDirect(bad);
    auto v = PropertyList::parse(bad);
    if (direct) {
      ++handled;
      // Whatever the direct reader accepts, libplist reads the same way.
      EXPECT_EQ(direct, PropertyList::parseWithLibplist(bad)) << bad;
      EXPECT_EQ(v, direct);
    }
  }
  EXPECT_GT(handled, 0);
}

TEST(PlistReader, DeepNestingCostsNoStack) {
  const int levels = 100000;
  for (bool dict : {false, true}) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
    for (int i = 0; i < levels; ++i) xml += dict ? "<dict><key>k</key>" : "<array>";
    xml += "<true/>";
    for (int i = 0; i < levels; ++i) xml += dict ? "</dict>" : "</array>";
    xml += "\n</plist>\n";
    auto direct = PropertyList::parseXmlDirect(xml);
    ASSERT_TRUE(direct);
    // As with libplist's reading: containers below 512 levels become none values.
    bool endsInNone = false;
    EXPECT_EQ(chainDepth(*direct, endsInNone), 513);
    EXPECT_TRUE(endsInNone);
    EXPECT_EQ(direct, PropertyList::parseWithLibplist(xml));
    // Unclosed, it is no plist at all.
    std::string open = xml.substr(0, xml.size() / 2);
    EXPECT_FALSE(PropertyList::parseXmlDirect(open));
    EXPECT_FALSE(PropertyList::parse(open));
  }
}
