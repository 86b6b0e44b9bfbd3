// The automatic login's reply reader on its own (AutoLogin::parseReplyForTesting):
// the outcomes of login and name look-up replies, and hostile XML (entity
// declarations, which libxml2 records in a side document that must be freed;
// the ASan build of the tests catches a leak there).
// ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "AppURL.h"
#include "AutoLogin/AutoLogin.h"
#include "Platform/Files/PropertyList.h"
#include "Request/Z_Request.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using namespace quillbox;
using namespace quillbox::platform;

namespace {

class AutoLoginReplyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qb-autologin-reply-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fs::create_directories(dir_ + "/Library");
    container_.set(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string webInfo() const { return dir_ + "/Library/" + Z_Request::kWebInfoPlist; }

  std::string dir_;
  ScopedContainer container_;
};

TEST_F(AutoLoginReplyTest, LoginRepliesDecideAndSuccessWritesWebInfo) {
  EXPECT_EQ(
      AutoLogin::parseReplyForTesting(
          "login", "<r><type>0</type><user name=\"x\">al ice\n</user><result>ok</result></r>"),
      std::optional<bool>(true));
  auto info = PropertyList::read(webInfo());
  ASSERT_TRUE(info && info->asDict());
  EXPECT_EQ(info->asDict()->getString("type"), "0");
  EXPECT_EQ(info->asDict()->getString("user"), "alice");  // spaces and newlines dropped
  EXPECT_EQ(info->asDict()->getString("result"), "ok");

  fs::remove(webInfo());
  EXPECT_EQ(AutoLogin::parseReplyForTesting("login", "<r><type>1</type><result>x</result></r>"),
            std::optional<bool>(false));
  EXPECT_EQ(AutoLogin::parseReplyForTesting("login", "<r><errorResult>no</errorResult></r>"),
            std::optional<bool>(false));
  EXPECT_EQ(AutoLogin::parseReplyForTesting("login", "<r><type>0</type></r>"), std::nullopt);
  EXPECT_EQ(AutoLogin::parseReplyForTesting("login", "not xml at all"), std::nullopt);
  EXPECT_FALSE(fs::exists(webInfo()));
}

TEST_F(AutoLoginReplyTest, NameLookupTakesStringWhereverItStandsAndNeverSucceedsByItself) {
  struct Case {
    const char* reply;
    std::optional<bool> outcome;
    const char* name;
  };
  const Case cases[] = {
      {"<r><string>alice</string></r>", std::nullopt, "alice"},
      {"<result><type>0</type><string>NAME</string></result>", std::nullopt, "NAME"},
      {"<result><a><b>x</b></a><string>deep</string><c>y</c></result>", std::nullopt, "deep"},
      {"<result><type>0</type></result>", std::nullopt, ""},
      {"<r><string>alice</string><errorResult>x</errorResult></r>", false, ""},
      {"<errorResult>x</errorResult>", false, ""},
  };
  for (const Case& c : cases) {
    std::string name;
    EXPECT_EQ(AutoLogin::parseReplyForTesting("getName", c.reply, &name), c.outcome) << c.reply;
    EXPECT_EQ(name, c.name) << c.reply;
  }
  EXPECT_FALSE(fs::exists(webInfo()));
}

TEST_F(AutoLoginReplyTest, DeclaredEntitiesAreNeitherExpandedNorKept) {
  // "&zero;" would make the type "0" if it were expanded; as it is not, the
  // reader stops at the unknown reference and the reply decides nothing.
  const std::string internal =
      "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY zero \"0\">]>"
      "<r><type>&zero;</type><result>&amp;</result></r>";
  // An external entity is never loaded, and such a reply never counts as a success.
  const std::string external =
      "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY ext SYSTEM \"file:///etc/hostname\">]>"
      "<r><type>0</type><x>&ext;</x><result>ok</result></r>";
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(AutoLogin::parseReplyForTesting("login", internal), std::optional<bool>(true));
    EXPECT_NE(AutoLogin::parseReplyForTesting("login", external), std::optional<bool>(true));
  }
  EXPECT_FALSE(fs::exists(webInfo()));
}

}  // namespace
