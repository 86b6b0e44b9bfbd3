// The XML reply readers against replies written by hand: the reader edge
// cases, the raised parse error, and replies that try to load or expand entities.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Platform/Process/Log.h"
#include "TestSupport.h"
#include "XmlParse/XmlParse.h"

using namespace quillbox;
using quillbox::PlistDict;
using quillbox::PlistValue;

namespace {

enum class Reader { Error, Result, Create, Account };

std::optional<PlistDict> read(Reader r, const std::string& text) {
  switch (r) {
    case Reader::Error:
      return XmlParse::parserToErrorXML(text);
    case Reader::Result:
      return XmlParse::parserToXML(text);
    case Reader::Create:
      return XmlParse::parserToCreateFile(text);
    case Reader::Account:
      return XmlParse::parserToInitialization(text);
  }
  return std::nullopt;
}

// The reader's dictionary as JSON text, "nothing", or "raised".
std::string outcome(Reader r, const std::string& text) {
  try {
    auto dict = read(r, text);
    return dict ? toJson(PlistValue(*dict)).dump() : "nothing";
  } catch (const XmlParseError&) {
    return "raised";
  }
}

}  // namespace

TEST(XmlParseTest, ReadersFollowTheReplyVocabulary) {
  const std::string err = "<errorResult><type>4</type><message>no</message></errorResult>";
  struct Case {
    const char* what;
    Reader reader;
    std::string reply;
    std::string expected;
  } cases[] = {
      {"result and errorResult: the result wins", Reader::Result,
       "<r><result><type>0</type><message>ok</message></result>" + err + "</r>",
       R"({"type":"0","message":"ok"})"},
      {"result without message falls back to errorResult", Reader::Result,
       "<r><result><type>0</type></result>" + err + "</r>", R"({"type":"4","message":"no"})"},
      {"result without message and no errorResult raises", Reader::Result,
       "<result><type>0</type></result>", "raised"},
      {"errorResult without message raises", Reader::Error,
       "<errorResult><type>4</type></errorResult>", "raised"},
      {"text that is not XML gives nothing", Reader::Result, "<result><type>0</type>", "nothing"},
      {"empty text gives nothing", Reader::Error, "", "nothing"},
      {"values are string values, entities of XML decoded", Reader::Result,
       "<result><type> 0 </type><message>a &amp; <b>b</b></message></result>",
       R"({"type":" 0 ","message":"a & b"})"},
      {"creation without id", Reader::Create,
       "<result><type>0</type><message>m</message><realLength>5</realLength></result>",
       R"({"realLength":"5","type":"0","message":"m"})"},
      {"creation with every field", Reader::Create,
       "<result><id>7</id><type>0</type><isComplete>true</isComplete><message>m</message>"
       "</result>",
       R"({"id":"7","isComplete":"true","type":"0","message":"m"})"},
      {"creation without type reads the failure", Reader::Create, "<x>" + err + "</x>",
       R"({"type":"4","message":"no"})"},
      {"creation with type but no message raises", Reader::Create,
       "<result><type>0</type><id>1</id></result>", "raised"},
      {"account without phones", Reader::Account,
       "<result><voiceRemainder>3</voiceRemainder><level>2</level></result>",
       R"({"voiceRemainder":"3","level":"2","phones":[]})"},
      {"phone entries: foreign children, text, empty fields, no known child", Reader::Account,
       "<result><voiceRemainder>1</voiceRemainder><phones>"
       "<result>x<phone>138</phone><other>9</other> y <phone>139</phone><isMain/></result>"
       "<result><figure><b>f</b></figure></result><result><nope>1</nope></result>"
       "</phones></result>",
       R"({"voiceRemainder":"1","phones":[{"phone":"139","isMain":""},{"figure":"f"},{}]})"},
      {"nested results: the first type in document order wins", Reader::Result,
       "<result><phones><result><type>inner</type></result></phones><type>outer</type>"
       "<message>m</message></result>",
       R"({"type":"inner","message":"m"})"},
      {"account recognised by voiceRemainder alone", Reader::Account,
       "<r><result><balance>1</balance></result>" + err + "</r>", R"({"type":"4","message":"no"})"},
  };
  for (const auto& c : cases) EXPECT_EQ(outcome(c.reader, c.reply), c.expected) << c.what;
}

TEST(XmlParseTest, RaisedErrorIsLoggedOnce) {
  std::vector<std::string> lines;
  platform::Log::setSinkForTesting([&](const std::string& l) { lines.push_back(l); });
  EXPECT_THROW(XmlParse::parserToXML("<result><type>0</type></result>"), XmlParseError);
  platform::Log::setSinkForTesting(nullptr);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("//errorResult//type"), std::string::npos);
}

TEST(XmlParseTest, EntitiesAreNeitherLoadedNorExpanded) {
  TempDir dir;
  writeFile(dir.file("secret.txt"), "TOPSECRET");
  writeFile(dir.file("ext.dtd"), "<!ENTITY leak \"TOPSECRET\">");
  const std::string secret = "file://" + dir.file("secret.txt");
  const std::string replies[] = {
      "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + secret +
          "\">]><result><type>&x;</type><message>m</message></result>",
      "<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + secret +
          "\"> %p;]><result><type>t</type><message>m</message></result>",
      "<!DOCTYPE result SYSTEM \"file://" + dir.file("ext.dtd") +
          "\"><result><type>&leak;</type><message>m</message></result>",
      "<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
      "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;\">]>"
      "<result><type>&d;&d;&d;&d;&d;&d;</type><message>m</message></result>",
  };
  for (const auto& reply : replies) {
    std::string got = outcome(Reader::Result, reply);
    EXPECT_EQ(got.find("TOPSECRET"), std::string::npos) << reply;
    EXPECT_EQ(got.find("aaaaaaaaaaaaaaaaaaaa"), std::string::npos) << reply;
  }
  // Declarations alone do no harm: the reply is read without them.
  EXPECT_EQ(outcome(Reader::Result,
                    "<!DOCTYPE r [<!ENTITY a \"x\">]><result><type>0</type><message>m</message>"
                    "</result>"),
            R"({"type":"0","message":"m"})");
}
