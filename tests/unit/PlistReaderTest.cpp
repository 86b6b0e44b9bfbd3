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

#include "Platform/Files/PropertyList.h"
#include "PlistTestSupport.h"
#include "PropertyList/Reference/PlistLibplist.h"
#include "TestSupport.h"

using namespace quillbox;
using namespace quillbox::platform;
using namespace std::string_literals;

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
      return -1;
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

// Whole seconds, mostly between 1933 and 2068 (the span a libplist date
// holds), else anywhere in the years 1 to 9999.
double randomDate(Rng& rng) {
  if (pick(rng, 4) == 0) return -62135596800.0 + static_cast<double>(rng() % 315537897600ULL);
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
      if (pick(rng, 6) == 0) return PlistValue::unsignedInteger((uint64_t{1} << 63) + rng() % 1000);
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
          static const uint32_t cps[] = {0x9, 0xA, 0xD, 0x41, 0xE9, 0x4E2D, 0xFFFD, 0x1F600};
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
                                           "0123",
                                           "-007",
                                           "0x1F"};
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

const char* const kPlistlibScript = R"PY(
import calendar, datetime, json, plistlib, random, struct, sys
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
# The typed JSON form typedPlist makes of ours: reals as their bits, dates in
# microseconds since 1970.
def typed(v):
    if isinstance(v, bool): return ["b", v]
    if isinstance(v, int): return ["i", v]
    if isinstance(v, float): return ["r", struct.unpack(">Q", struct.pack(">d", v))[0]]
    if isinstance(v, str): return ["s", v]
    if isinstance(v, bytes): return ["x", v.hex()]
    if isinstance(v, datetime.datetime):
        return ["d", calendar.timegm(v.utctimetuple()) * 1000000 + v.microsecond]
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
    // Half keep to the types the stores hold, half use every type.
    PlistValue doc = randomDocument(rng, i % 2 == 0);
    std::string xml = PropertyList::toXml(doc);
    auto direct = PropertyList::parseXmlDirect(xml);
    auto reference = PlistLibplist::parse(xml);
    ASSERT_TRUE(direct) << "not read:\n" << xml;
    ASSERT_TRUE(reference) << xml;
    ASSERT_TRUE(PlistLibplist::equivalent(*direct, *reference))
        << xml << "\ndirect:  " << describe(direct) << "\nlibplist: " << describe(reference);
    EXPECT_EQ(PropertyList::parse(xml), direct);
    // Reals are written as the shortest text that reads back to the same number,
    // dates are whole seconds: every value comes back whole.
    EXPECT_EQ(*direct, doc) << xml;
  }
}

TEST(PlistReader, HandWrittenTextReadsAsLibplistReadsIt) {
  Rng rng(777);
  for (int i = 0; i < 1500; ++i) {
    std::string xml = TextGenerator(rng).document();
    auto direct = PropertyList::parseXmlDirect(xml);
    auto reference = PlistLibplist::parse(xml);
    ASSERT_TRUE(direct) << "not read:\n" << xml;
    ASSERT_TRUE(reference) << xml;
    ASSERT_TRUE(PlistLibplist::equivalent(*direct, *reference))
        << xml << "\ndirect:  " << describe(direct) << "\nlibplist: " << describe(reference);
  }
}

// The differential oracle forgives libplist's raw line ends and nothing else.
TEST(PlistReader, LibplistLineEndsAreTheOnlyTextDifferenceForgiven) {
  const struct {
    const char *ours, *libplist;
    bool same;
  } cases[] = {{"a\nb", "a\r\nb", true}, {"a\nb", "a\rb", true},   {"a\r\nb", "a\r\r\nb", true},
               {"\n\n", "\r\n", true},   {"\r\nb", "\r\rb", true}, {"ab", "a\rb", false},
               {"a\r\n", "a\n", false},  {"a\nb", "a b", false}};
  for (const auto& c : cases)
    EXPECT_EQ(PlistLibplist::equivalent(PlistValue(c.ours), PlistValue(c.libplist)), c.same)
        << testing::PrintToString(std::string(c.ours)) << " / "
        << testing::PrintToString(std::string(c.libplist));
}

// What the text means, where libplist 2.2 reads it otherwise (octal, wrapped,
// clamped, "\r\n" kept) or not at all (a byte-order mark, UTF-16, ISO-8859-1).
TEST(PlistReader, KnownValues) {
  const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
  auto one = [&](const std::string& body) {
    return PropertyList::parseXmlDirect(head + body + "\n</plist>\n");
  };
  const struct {
    std::string body;
    PlistValue value;
  } cases[] = {
      {"<date>2015-01-01T09:05:07Z</date>", PlistValue::date(1420103107)},
      {"<date>1970-01-01T00:00:00Z</date>", PlistValue::date(0)},
      {"<date>0001-01-01T00:00:00Z</date>", PlistValue::date(-62135596800)},
      {"<date>9999-12-31T23:59:59Z</date>", PlistValue::date(253402300799)},
      {"<integer>18446744073709551615</integer>", PlistValue::unsignedInteger(UINT64_MAX)},
      {"<integer>9223372036854775808</integer>", PlistValue::unsignedInteger(uint64_t{1} << 63)},
      {"<integer>-9223372036854775808</integer>",
       PlistValue::integer(std::numeric_limits<int64_t>::min())},
      {"<integer>0123</integer>", PlistValue::integer(123)},
      {"<integer> -0042 </integer>", PlistValue::integer(-42)},
      {"<integer>0x1f</integer>", PlistValue::integer(31)},
      {"<real>-1.25e2</real>", PlistValue::real(-125.0)},
      {"<real>1e400</real>", PlistValue::real(HUGE_VAL)},
      {"<string> two\r\n lines\rend\t</string>", PlistValue(" two\n lines\nend\t")},
      {"<string>cr&#13;kept</string>", PlistValue("cr\rkept")},
      {"<string>&lt;&#20013;&#x6587;&gt;</string>", PlistValue("<中文>")},
      {"<string>a<![CDATA[<&>]]><!-- note --><?pi x?>b</string>", PlistValue("a<&>b")},
      {"<data> SGVs\n bG8= </data>", PlistValue::data("Hello")},
      {"<dict a=\"b\"><key>k</key><true></true></dict>", PlistValue(PlistDict{[] {
         PlistDict d;
         d.set("k", PlistValue::boolean(true));
         return d;
       }()})},
  };
  for (const auto& c : cases) EXPECT_EQ(one(c.body), c.value) << c.body;
  // A repeated key keeps its first place and takes the last value.
  auto d =
      one("<dict><key>a</key><integer>1</integer><key>b</key><true/>"
          "<key>a</key><string>last</string></dict>");
  ASSERT_TRUE(d && d->asDict());
  ASSERT_EQ(d->asDict()->size(), 2u);
  EXPECT_EQ(d->asDict()->begin()->first, "a");
  EXPECT_EQ(d->asDict()->getString("a"), "last");
  // The same document in other encodings and with a byte-order mark.
  const PlistValue text("é中");
  EXPECT_EQ(PropertyList::parse("\xEF\xBB\xBF" + head + "<string>é中</string></plist>"), text);
  std::string le = "\xFF\xFE", be = "\xFE\xFF";
  for (char c : std::string("<?xml version=\"1.0\" encoding=\"UTF-16\"?><plist><string>")) {
    le += c, le += '\0';
    be += '\0', be += c;
  }
  le += "\xE9\0\x2D\x4E"s, be += "\0\xE9\x4E\x2D"s;
  for (char c : std::string("</string></plist>")) {
    le += c, le += '\0';
    be += '\0', be += c;
  }
  EXPECT_EQ(PropertyList::parse(le), text);
  EXPECT_EQ(PropertyList::parse(be), text);
  EXPECT_EQ(PropertyList::parse("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"
                                "<plist><string>\xE9</string></plist>"),
            PlistValue("é"));
}

// A malformed value makes the document unreadable, never a made-up value.
TEST(PlistReader, MalformedDocumentsAreRefused) {
  const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
  const std::vector<std::string> bodies = {
      "<integer>not integer</integer>",
      "<integer>18446744073709551616</integer>",  // past 2^64-1
      "<integer>-9223372036854775809</integer>",  // below -2^63
      "<integer>-0x10</integer>",
      "<integer>1_000</integer>",
      "<integer></integer>",
      "<real>1.5.2</real>",
      "<real>0x1p3</real>",
      "<date>yesterday</date>",
      "<date>2004-02-30T00:00:00Z</date>",
      "<date>2015-01-01T09:05:07.5Z</date>",
      "<date>0000-12-31T00:00:00Z</date>",
      "<data>AAE</data>",
      "<data>Q!QQ=</data>",
      "<true>x</true>",
      "<dict><key>a</key></dict>",        // a key without a value
      "<dict><string>v</string></dict>",  // a value without a key
      "<array><key>k</key></array>",      // a key in an array
      "<dict><key>k1</key><key>k2</key><true/></dict>",
      "<string>a & b</string>",
      "<string>&foo;</string>",  // unknown entity
      "<string>&#1;</string>",   // not an XML character
      "<string>&#xD800;</string>",
      "<string>&#xFFFF;</string>",
      "<string>a]]>b</string>",
      "<string>a\x01b</string>",  // a raw control character
      "<string>a<b/>c</string>",
      "<true/><false/>",  // two values
      "<unknown>x</unknown>",
      "<array><string>a</string>b</array>",  // stray text
  };
  for (const auto& body : bodies)
    EXPECT_FALSE(PropertyList::parse(head + body + "\n</plist>\n")) << body;
  const std::vector<std::string> documents = {
      "",
      "<true/>",  // no <plist>
      "<plist/>",
      "<plist><true/></plist>junk",
      "<plist><true/></plist><plist><true/></plist>",
      "<!DOCTYPE plist [<!ENTITY e \"x\">]><plist><string>&e;</string></plist>",
      "<plist><string>\xFF\xFE</string></plist>",  // not UTF-8
      "<?xml version=\"1.0\" encoding=\"EBCDIC\"?><plist><true/></plist>",
      "<plist><string>a\0b</string></plist>"s,
      "\xFF\xFE<\0p\0"s,  // UTF-16 cut in the middle
  };
  for (const auto& xml : documents) EXPECT_FALSE(PropertyList::parse(xml)) << xml;
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
    auto direct = PropertyList::parseXmlDirect(xml);
    ASSERT_TRUE(direct) << "not handled: " << base << ".plist";
    EXPECT_EQ(typedPlist(*direct), expected) << base << ".plist";
    auto reference = PlistLibplist::parse(xml);
    ASSERT_TRUE(reference);
    EXPECT_TRUE(PlistLibplist::equivalent(*direct, *reference)) << base << ".plist";
  }
  std::filesystem::remove_all(dir);
}

TEST(PlistReader, StoreOfRecordsReadsWhole) {
  PlistValue store = storeDocument(300);
  std::string xml = PropertyList::toXml(store);
  auto direct = PropertyList::parseXmlDirect(xml);
  ASSERT_TRUE(direct);
  EXPECT_EQ(*direct, store);
  EXPECT_EQ(direct, PlistLibplist::parse(xml));
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
    // Only a cut inside the trailing white space leaves a whole document.
    if (n < xml.rfind("</plist>") + 8) {
      EXPECT_FALSE(direct) << n;
    } else {
      EXPECT_EQ(direct, PlistValue(d)) << n;
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
    auto reference = PlistLibplist::parse(bad);
    if (direct && reference) {
      ++handled;
      // Whatever both accept, they read the same way (but for libplist's known faults).
      EXPECT_TRUE(PlistLibplist::equivalent(*direct, *reference))
          << bad << "\ndirect:  " << describe(direct) << "\nlibplist: " << describe(reference);
    }
  }
  EXPECT_GT(handled, 0);
}

TEST(PlistReader, NestingBeyond512LevelsIsRefusedWithoutRecursion) {
  for (bool dict : {false, true}) {
    auto nested = [&](int levels) {
      std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
      for (int i = 0; i < levels; ++i) xml += dict ? "<dict><key>k</key>" : "<array>";
      xml += "<true/>";
      for (int i = 0; i < levels; ++i) xml += dict ? "</dict>" : "</array>";
      return xml + "\n</plist>\n";
    };
    auto deepest = PropertyList::parseXmlDirect(nested(512));
    ASSERT_TRUE(deepest);
    bool endsInNone = true;
    EXPECT_EQ(chainDepth(*deepest, endsInNone), 512);
    EXPECT_FALSE(endsInNone);
    EXPECT_EQ(PropertyList::parse(PropertyList::toBinary(*deepest)), deepest);
    for (int levels : {513, 100000}) EXPECT_FALSE(PropertyList::parse(nested(levels))) << levels;
  }
}
