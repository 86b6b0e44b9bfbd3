// Common utilities: whole-text validity tests, formatting, escaping, icons.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>

#include "CommonLib/CommonLib.h"
#include "CommonLib/CommonRegex.h"
#include "CommonLib/DriviceInfo.h"
#include "CommonLib/StringExtension.h"
#include "Platform/Process/Environment.h"
#include "Request/FormBody.h"
#include "TestSupport.h"

using namespace quillbox;

TEST(CommonRegexTest, TelephoneNumbers) {
  EXPECT_TRUE(CommonRegex::isValidateTel("13800138000"));
  EXPECT_FALSE(CommonRegex::isValidateTel("1380013800"));    // ten digits
  EXPECT_FALSE(CommonRegex::isValidateTel("138001380001"));  // twelve
  EXPECT_FALSE(CommonRegex::isValidateTel("23800138000"));   // leading 2
  EXPECT_FALSE(CommonRegex::isValidateTel("+8613800138000"));
  EXPECT_FALSE(CommonRegex::isValidateTel("+8613800138"));  // 11 characters with a plus
  EXPECT_FALSE(CommonRegex::isValidateTel("1380013800a"));
  EXPECT_FALSE(CommonRegex::isValidateTel("13800138000\n"));
  EXPECT_FALSE(CommonRegex::isValidateTel(""));
  // Whole-text match: a valid prefix is not enough.
  EXPECT_FALSE(CommonRegex::isValidateTel("1380013800 "));
  // \d is Unicode-aware as in ICU: fullwidth digits are digits.
  EXPECT_TRUE(CommonRegex::isValidateTel("1３８００１３８０００"));
}

TEST(CommonRegexTest, Passwords) {
  EXPECT_FALSE(CommonRegex::isValidatePwd("abcdefgh"));
  EXPECT_FALSE(CommonRegex::isValidatePwd("12345678"));
  EXPECT_FALSE(CommonRegex::isValidatePwd("!@#$%^&*"));
  EXPECT_TRUE(CommonRegex::isValidatePwd("abcd1234"));
  EXPECT_TRUE(CommonRegex::isValidatePwd("Abcdefg1"));
  EXPECT_FALSE(CommonRegex::isValidatePwd("abc123"));    // too short
  EXPECT_FALSE(CommonRegex::isValidatePwd("ABCDEFGH"));  // no lower-case letter or digit
  EXPECT_TRUE(CommonRegex::isValidatePwd("ABCDEFGh"));
}

TEST(CommonRegexTest, EmailsUrlsAndIdCards) {
  EXPECT_TRUE(CommonRegex::isValidateEmail("john.doe+x@example.co.uk"));
  EXPECT_FALSE(CommonRegex::isValidateEmail("john@example"));
  EXPECT_FALSE(CommonRegex::isValidateEmail("john@example.c"));
  EXPECT_FALSE(CommonRegex::isValidateEmail(".john@example.com"));  // \b before "."
  EXPECT_FALSE(CommonRegex::isValidateEmail("john@example.com "));
  EXPECT_FALSE(CommonRegex::isValidateEmail(""));

  EXPECT_TRUE(CommonRegex::isValidateURL("www.example.com"));
  EXPECT_TRUE(CommonRegex::isValidateURL("example.com"));
  EXPECT_FALSE(CommonRegex::isValidateURL("example."));
  EXPECT_FALSE(CommonRegex::isValidateURL(".com"));
  // The pattern's middle "." is any character, so a dotless name of 3+ characters passes.
  EXPECT_TRUE(CommonRegex::isValidateURL("localhost"));
  EXPECT_FALSE(CommonRegex::isValidateURL("ab"));
  // Nested quantifiers: a hostile text ends within the budget, refused.
  EXPECT_FALSE(CommonRegex::isValidateURL(std::string(5000, 'a') + "."));

  EXPECT_TRUE(CommonRegex::isValidateIDCard("11010519491231002X"));
  EXPECT_TRUE(CommonRegex::isValidateIDCard("110105194912310021"));
  EXPECT_FALSE(CommonRegex::isValidateIDCard("1101051949X231002X"));
  EXPECT_TRUE(CommonRegex::isValidateIDCard("X"));  // only the free check character
  EXPECT_FALSE(CommonRegex::isValidateIDCard(""));  // nothing to check: refused
}

TEST(CommonRegexTest, InvalidUtf8IsRefused) {
  EXPECT_FALSE(CommonRegex::isValidateTel(std::string("1380013800\xff", 11)));
  EXPECT_EQ(CommonRegex::utf16Length("a\xF0\x9F\x98\x80"), 3);  // astral: two UTF-16 units
  EXPECT_EQ(CommonRegex::utf16Length("\xC0\xAF"), -1);          // overlong
}

TEST(CommonLibTest, WindowsFileNames) {
  EXPECT_TRUE(CommonLib::isWindwosFileDesignation("report 2024.txt"));
  EXPECT_TRUE(CommonLib::isWindwosFileDesignation("a"));
  EXPECT_FALSE(CommonLib::isWindwosFileDesignation("+"));
  EXPECT_FALSE(CommonLib::isWindwosFileDesignation(" lead"));
  EXPECT_FALSE(CommonLib::isWindwosFileDesignation("trail."));
  EXPECT_FALSE(CommonLib::isWindwosFileDesignation("a/b"));
  EXPECT_FALSE(CommonLib::isWindwosFileDesignation("a\\b"));
  EXPECT_FALSE(CommonLib::isWindwosFileDesignation("a:b"));
  EXPECT_FALSE(CommonLib::isWindwosFileDesignation("a*b"));
  EXPECT_FALSE(CommonLib::isWindwosFileDesignation("a\"b"));
  EXPECT_FALSE(CommonLib::isWindwosFileDesignation(""));
}

TEST(CommonLibTest, FileDesignationRemovesListedCharacters) {
  EXPECT_EQ(CommonLib::isFileDesignation("a b[c]\\d.e！f【g】h？i——j"), "abcdefghij");
  EXPECT_EQ(CommonLib::isFileDesignation("证据_2024-01"), "证据_2024-01");
}

TEST(CommonLibTest, FileSizes) {
  EXPECT_EQ(CommonLib::formateFileSize(1536), "1.50KB");
  EXPECT_EQ(CommonLib::formateFileSize(512), "512.00B");
  EXPECT_EQ(CommonLib::formateFileSize(1048576), "1.00MB");
  EXPECT_EQ(CommonLib::formateFileSize(1073741824.0f * 2.5f), "2.50GB");
  EXPECT_EQ(CommonLib::formatSpace(512), "0.50K");
  EXPECT_EQ(CommonLib::formatSpace(3 * 1048576.0f), "3.00M");
  EXPECT_EQ(CommonLib::formatSpace(1073741824.0f), "1.00G");
}

TEST(CommonLibTest, Durations) {
  EXPECT_EQ(CommonLib::FormateTime((3600 + 120 + 5) * 1000), "01时02分05秒");
  EXPECT_EQ(CommonLib::FormateTime((3600 + 5) * 1000), "01时05秒");
  EXPECT_EQ(CommonLib::FormateTime(65 * 1000), "01分05秒");
  EXPECT_EQ(CommonLib::FormateTime(500), "00秒");
  EXPECT_EQ(CommonLib::FormateTime((12 * 3600 + 34 * 60 + 56) * 1000), "12时34分56秒");
}

TEST(CommonLibTest, Icons) {
  EXPECT_EQ(CommonLib::getFileImageIcon("TABLE.XLSX"), "excel_big");
  EXPECT_EQ(CommonLib::getFileImageIcon("form"), "video_big");  // ends with "rm"
  EXPECT_EQ(CommonLib::getFileImageIcon("a.jpg.txt"), "txt_big");
  EXPECT_EQ(CommonLib::getFileImageIcon("shot.png"), "pic_big");
  EXPECT_EQ(CommonLib::getFileImageIcon("chat.qbxs"), "sms_file_big");
  EXPECT_EQ(CommonLib::getFileImageIcon("mail.eml"), "email_big");
  EXPECT_EQ(CommonLib::getFileImageIcon("data.bin"), "other_big");
}

TEST(CommonLibTest, ColoursAndDates) {
  Color c = CommonLib::getColor("ff8000");
  EXPECT_DOUBLE_EQ(c.red, 1.0);
  EXPECT_DOUBLE_EQ(c.green, 128 / 255.0);
  EXPECT_DOUBLE_EQ(c.blue, 0.0);
  EXPECT_DOUBLE_EQ(c.alpha, 1.0);
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(CommonLib::stringFromDate(CommonLib::dateFromString("1700000000")), "2023-11-14");
  EXPECT_EQ(CommonLib::FormateDate("1700000000"), "2023年11月14日");
  EXPECT_EQ(CommonLib::FormateDate("0"), "1970年01月01日");
}

TEST(StringExtensionTest, UrlEncodingOfParameters) {
  EXPECT_EQ(stringByURLEncodingStringParameter("a b"), "a%20b");
  EXPECT_EQ(stringByURLEncodingStringParameter("1+1"), "1%2B1");
  EXPECT_EQ(stringByURLEncodingStringParameter("abcXYZ019&=&"), "abcXYZ019&=&");
  EXPECT_EQ(stringByURLEncodingStringParameter("-_.~"), "-_.~");
  EXPECT_EQ(stringByURLEncodingStringParameter("!*'();:@+$,/?%#[]"),
            "%21%2A%27%28%29%3B%3A%40%2B%24%2C%2F%3F%25%23%5B%5D");
  EXPECT_EQ(stringByURLEncodingStringParameter("证"), "%E8%AF%81");
  std::string bad("a\xff b", 4);
  EXPECT_EQ(stringByURLEncodingStringParameter(bad), bad);  // not UTF-8: unchanged
}

TEST(StringExtensionTest, StringBetweenKeys) {
  EXPECT_EQ(getStringBetweenKey1("x<a>val</a>y", "<a>", "</a>"), "val");
  EXPECT_EQ(getStringBetweenKey1("</a><a>v</a>", "<a>", "</a>"), "v");  // key2 after key1
  EXPECT_FALSE(getStringBetweenKey1("no keys", "<a>", "</a>"));
  EXPECT_FALSE(getStringBetweenKey1("<a>open", "<a>", "</a>"));
}

TEST(FormBodyTest, OrdinaryValuesGiveTheBytesOfWholeTextEscaping) {
  FormBody form;
  form.add("service", "getPhoneUserName").add("mphone", "13800138000").add("note", "a b+c");
  std::string joined = "service=getPhoneUserName&mphone=13800138000&note=a b+c";
  EXPECT_EQ(form.text(), stringByURLEncodingStringParameter(joined));
  EXPECT_EQ(form.plainText(), joined);
}

TEST(FormBodyTest, AmpersandAndEqualsInValuesCannotSplitFields) {
  FormBody form;
  form.add("comment", "a&admin=1").add("n", int64_t{42});
  EXPECT_EQ(form.text(), "comment=a%26admin%3D1&n=42");
}

TEST(DriviceInfoTest, DiskSpaceAgreesWithStat) {
  // GNU stat's reading of the same file systems: block size, free and total blocks.
  auto statOf = [](const std::string& path) {
    std::array<long long, 3> v{-1, -1, -1};
    if (FILE* p = popen(("stat -f -c '%s %f %b' '" + path + "'").c_str(), "r")) {
      if (fscanf(p, "%lld %lld %lld", &v[0], &v[1], &v[2]) != 3) v = {-1, -1, -1};
      pclose(p);
    }
    return v;
  };
  const auto root = statOf("/");
  ASSERT_GT(root[0], 0) << "stat -f did not answer";
  // Other programs write meanwhile: the free space agrees to within 256 MiB.
  EXPECT_NEAR(static_cast<double>(freeSpace()), static_cast<double>(root[0] * root[1]),
              256.0 * 1024 * 1024);
  TempDir home;
  std::filesystem::create_directories(home.file("Documents"));
  ScopedSettings settings;
  settings.set("QUILLBOX_HOME", home.path());
  const auto docs = statOf(home.file("Documents"));
  EXPECT_FLOAT_EQ(DriviceInfo::getTotalDiskSpaceInBytes(),
                  static_cast<float>(static_cast<double>(docs[0]) * static_cast<double>(docs[2])));
}
