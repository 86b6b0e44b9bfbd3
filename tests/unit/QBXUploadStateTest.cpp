// Upload engine without a service: the upload-state record, the record
// builder, the creation form and the audio playing time.
// ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "AppURL.h"
#include "FileProperty/FileProperty.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Process/Environment.h"
#include "QBXUploadManager/AudioDuration.h"
#include "QBXUploadManager/QBXUploadTask.h"
#include "TestSupport.h"

using namespace quillbox;
using namespace quillbox::platform;
namespace fs = std::filesystem;

namespace {

class QBXUploadStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qb-upstate.XXXXXX";
    root_ = mkdtemp(tmpl);
    container_ = root_ + "/Applications/0A1B2C3D-0000-4000-8000-0000000000AA";
    home_ = root_ + "/home";
    fs::create_directories(container_ + "/quillbox.app");
    fs::create_directories(container_ + "/Library");
    fs::create_directories(container_ + "/Documents/ScreenShot/alice");
    fs::create_directories(home_);
    setUser("alice");
    settings_.set("QUILLBOX_HOME", home_);
    containerScope_.set(container_);
  }
  void TearDown() override { fs::remove_all(root_); }

  void setUser(const std::string& name) {
    PlistDict info;
    info.set("userName", PlistValue(name));
    ASSERT_TRUE(PropertyList::write(lib("com.velmor.userinfo.plist"), PlistValue(info)));
  }
  std::string lib(const std::string& name) const { return container_ + "/Library/" + name; }
  std::string doc(const std::string& rel) const { return container_ + "/Documents/" + rel; }
  std::string write(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  PlistDict upinfoRoot() const {
    auto v = PropertyList::read(lib("com.velmor.upinfo.plist"));
    return v && v->asDict() ? *v->asDict() : PlistDict();
  }
  PlistArray upinfo(const std::string& user = "alice") const {
    PlistDict root = upinfoRoot();
    const PlistValue* a = root.find(user);
    return a && a->asArray() ? *a->asArray() : PlistArray{};
  }
  static FilePtr record(const std::string& path, int32_t kind = 8) {
    auto f = std::make_shared<File>();
    f->setName(lastPathComponent(path));
    f->setFPath(path);
    f->setFLen(std::string("1000"));
    f->setFTime(1700000000123);
    f->setFtype(kind);
    f->setFileState(FileState::Waiting);
    f->setFSHA1(std::string(40, 'a'));
    f->setFHash(std::string(40, 'b'));
    return f;
  }
  static std::shared_ptr<QBXUploadTask> taskFor(FilePtr f, bool check = true) {
    auto t = QBXUploadTask::create();
    t->setFile(std::move(f));
    t->setBCheck(check);
    return t;
  }

  std::string root_, container_, home_;
  ScopedSettings settings_;
  ScopedContainer containerScope_;
};

std::vector<std::string> keysOf(const PlistDict& d) {
  std::vector<std::string> keys;
  for (const auto& [k, v] : d) keys.push_back(k);
  return keys;
}

}  // namespace

TEST_F(QBXUploadStateTest, FirstWriteCreatesRootAndOneUserRecordInKeyOrder) {
  const std::string p = doc("ScreenShot/alice/a.png");
  taskFor(record(p))->writeFileUpInfoToFile();

  PlistDict root = upinfoRoot();
  ASSERT_NE(root.find("root"), nullptr);
  ASSERT_TRUE(root.find("root")->isArray());
  EXPECT_TRUE(root.find("root")->asArray()->empty());
  PlistArray list = upinfo();
  ASSERT_EQ(list.size(), 1u);
  const PlistDict& r = *list[0].asDict();
  // No fileID yet: the key is left out.
  EXPECT_EQ(keysOf(r), (std::vector<std::string>{"name", "size", "date", "type", "state", "fsha1",
                                                 "fHash", "value", "path", "bCheck"}));
  EXPECT_EQ(r.getString("name"), "a.png");
  EXPECT_TRUE(r.find("size")->isString());
  EXPECT_EQ(r.getString("size"), "1000");
  EXPECT_EQ(r.find("date")->asInteger(), 1700000000123);
  EXPECT_EQ(r.getInteger("type"), 8);
  EXPECT_EQ(r.getInteger("state"), FileState::Waiting);
  EXPECT_EQ(r.find("value")->type(), PlistValue::Type::Real);
  EXPECT_EQ(r.find("value")->realValue(), 0.0);
  EXPECT_EQ(r.getString("path"), p);
  EXPECT_EQ(r.find("bCheck")->type(), PlistValue::Type::Boolean);
  EXPECT_TRUE(r.getBool("bCheck"));
}

TEST_F(QBXUploadStateTest, RewritesKeepOneRecordPerFileAtTheEndAndOtherUsers) {
  auto a = record(doc("ScreenShot/alice/a.png"));
  auto b = record(doc("ScreenShot/alice/b.png"));
  auto ta = taskFor(a), tb = taskFor(b);
  setUser("bob");
  ta->writeFileUpInfoToFile();
  setUser("alice");
  ta->writeFileUpInfoToFile();
  tb->writeFileUpInfoToFile();
  a->setFileID(std::string("f-1"));
  a->setFileState(FileState::Uploading);
  ta->writeFileUpInfoToFile();

  PlistArray list = upinfo();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].asDict()->getString("name"), "b.png");
  EXPECT_EQ(list[1].asDict()->getString("name"), "a.png");
  EXPECT_EQ(list[1].asDict()->getString("fileID"), "f-1");
  EXPECT_EQ(list[1].asDict()->getInteger("state"), FileState::Uploading);
  EXPECT_EQ(upinfo("bob").size(), 1u);
}

TEST_F(QBXUploadStateTest, KindZeroBelowTheTempMediaFolderBecomesTempMedia) {
  const std::string clip = home_ + "/Documents/alice/TempMedia/clip.mov";
  auto f = record(clip, FileKind::NotSet);
  taskFor(f)->writeFileUpInfoToFile();
  EXPECT_EQ(f->ftype(), FileKind::TempMedia);
  EXPECT_EQ(upinfo().back().asDict()->getInteger("type"), 11);
  EXPECT_TRUE(fs::is_directory(home_ + "/Documents/alice/TempMedia"));

  auto other = record(doc("cameras/alice/x.mov"), FileKind::NotSet);
  taskFor(other)->writeFileUpInfoToFile();
  EXPECT_EQ(other->ftype(), FileKind::NotSet);

  auto shot = record(home_ + "/Documents/alice/TempMedia/s.png", FileKind::Screenshot);
  taskFor(shot)->writeFileUpInfoToFile();
  EXPECT_EQ(shot->ftype(), FileKind::Screenshot);
  EXPECT_EQ(upinfo().back().asDict()->getInteger("type"), 8);
}

TEST_F(QBXUploadStateTest, ValueIsTheUnscaledFractionAndProgressTheScaledOne) {
  auto f = record(doc("ScreenShot/alice/a.png"));
  f->setUploadedSize(500);
  taskFor(f)->writeFileUpInfoToFile();
  EXPECT_DOUBLE_EQ(upinfo().back().asDict()->find("value")->realValue(), 0.5);
  EXPECT_EQ(QBXUploadTask::progressText(500, 1000), "0.475000");
  EXPECT_EQ(QBXUploadTask::progressText(0, 1000), "0.000000");
  EXPECT_EQ(QBXUploadTask::progressText(1000, 1000), "0.950000");
  EXPECT_EQ(QBXUploadTask::progressText(2000, 1000), "0.950000");  // never past the cap
  EXPECT_EQ(QBXUploadTask::progressText(0, 0), "0.950000");        // an empty body is all sent
}

TEST_F(QBXUploadStateTest, ARecordBuiltAnewKeepsTheStoredValueUntilTheServiceAnswers) {
  auto first = record(doc("ScreenShot/alice/a.png"));
  first->setUploadedSize(500);
  taskFor(first)->writeFileUpInfoToFile();

  auto again = record(doc("ScreenShot/alice/a.png"));  // no uploadedSize yet
  taskFor(again)->writeFileUpInfoToFile();
  EXPECT_DOUBLE_EQ(upinfo().back().asDict()->find("value")->realValue(), 0.5);
  // fProgress stays on its one scale (x 0.95), so progress never goes backwards.
  EXPECT_EQ(again->fProgress(), std::optional<std::string>("0.475000"));
}

TEST_F(QBXUploadStateTest, NothingIsWrittenWithoutAUsableUser) {
  setUser("../evil");
  taskFor(record(doc("ScreenShot/alice/a.png")))->writeFileUpInfoToFile();
  EXPECT_FALSE(fs::exists(lib("com.velmor.upinfo.plist")));
  EXPECT_EQ(QBXUploadTask::getUserTempMediaPathWillCreat(true), std::nullopt);
}

TEST_F(QBXUploadStateTest, ConcurrentWritersLoseNoRecord) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 10; ++i)
        taskFor(record(doc("ScreenShot/alice/t" + std::to_string(t) + "_" + std::to_string(i) +
                           ".png")))
            ->writeFileUpInfoToFile();
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(upinfo().size(), 40u);
}

// ---------------------------------------------------------------- record builder

TEST_F(QBXUploadStateTest, BuilderFillsTheRecordFromTheVerifiedProperty) {
  const std::string p = write(doc("ScreenShot/alice/ScreenShot_1.png"), std::string(3000, 'x'));
  auto property = FileProperty::sharedFileProperty().toSaveFilePropertyWithoutRegistration(p, 8);
  ASSERT_TRUE(property);
  // An identifier known only to the upload-state record is taken from there.
  auto prior = record(p);
  prior->setFileID(std::string("from-upinfo"));
  taskFor(prior)->writeFileUpInfoToFile();

  FilePtr f = QBXUploadTask::getFileWillUploadWithPath(p, FileKind::Screenshot);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->name(), std::optional<std::string>("ScreenShot_1.png"));
  EXPECT_EQ(f->fPath(), std::optional<std::string>(p));
  EXPECT_EQ(f->fLen(), std::optional<std::string>("3000"));
  EXPECT_EQ(f->fSHA1(), std::optional<std::string>(property->getString("sha1")));
  EXPECT_EQ(f->fTime(), std::optional<int64_t>(property->getInteger("time")));
  EXPECT_EQ(f->fHash(),
            std::optional<std::string>("f212f0ceb6b86884f0515c68d357b3a261c003cf"));  // sha1sum
  EXPECT_EQ(f->fileID(), std::optional<std::string>("from-upinfo"));
  EXPECT_EQ(f->ftype(), 8);
  EXPECT_EQ(f->fileState(), 0);
  EXPECT_FALSE(f->uploadedSize());
  EXPECT_FALSE(f->fProgress());
  EXPECT_FALSE(f->fTimeLen());

  // The property store's own fileID wins over the upload-state record's.
  FileProperty::sharedFileProperty().updateFilePropertyWithPath(p, "fileID", PlistValue("own"));
  EXPECT_EQ(QBXUploadTask::getFileWillUploadWithPath(p, 8)->fileID(),
            std::optional<std::string>("own"));
}

TEST_F(QBXUploadStateTest, BuilderRefusesChangedUnrecordedAndCancelledFiles) {
  const std::string p = write(doc("ScreenShot/alice/a.png"), "original content");
  ASSERT_TRUE(FileProperty::sharedFileProperty().toSaveFilePropertyWithoutRegistration(p, 8));
  ASSERT_TRUE(QBXUploadTask::getFileWillUploadWithPath(p, 8));
  std::atomic<bool> cancel{true};
  EXPECT_FALSE(QBXUploadTask::getFileWillUploadWithPath(p, 8, &cancel));
  write(p, "Original content");  // same size, one byte changed
  EXPECT_FALSE(QBXUploadTask::getFileWillUploadWithPath(p, 8));
  const std::string q = write(doc("ScreenShot/alice/never.png"), "never recorded");
  EXPECT_FALSE(QBXUploadTask::getFileWillUploadWithPath(q, 8));
  EXPECT_FALSE(QBXUploadTask::getFileWillUploadWithPath(doc("ScreenShot/alice/gone.png"), 8));
}

TEST_F(QBXUploadStateTest, BuilderKindFields) {
  const std::string empty = write(doc("ScreenShot/alice/empty.png"), "");
  ASSERT_TRUE(FileProperty::sharedFileProperty().toSaveFilePropertyWithoutRegistration(empty, 8));
  EXPECT_EQ(QBXUploadTask::getFileWillUploadWithPath(empty, 8)->fLen(),
            std::optional<std::string>("0"));

  const std::string notAudio = write(doc("alice/Audio/x.wav"), "not audio at all");
  ASSERT_TRUE(
      FileProperty::sharedFileProperty().toSaveFilePropertyWithoutRegistration(notAudio, 2));
  EXPECT_EQ(QBXUploadTask::getFileWillUploadWithPath(notAudio, 2)->fTimeLen(),
            std::optional<std::string>("0"));

  const std::string rec = write(doc("cameras/alice/r.mov"), "recording");
  ASSERT_TRUE(FileProperty::sharedFileProperty().toSaveFilePropertyWithoutRegistration(rec, 6));
  FilePtr f = QBXUploadTask::getFileWillUploadWithPath(rec, 6);
  ASSERT_TRUE(f && f->fStartTime() && f->fEndTime() && f->fTimeLen());
  long long start = std::stoll(*f->fStartTime()), end = std::stoll(*f->fEndTime());
  EXPECT_EQ(start % 1000, 0);
  EXPECT_EQ(end % 1000, 0);
  EXPECT_EQ(std::stoll(*f->fTimeLen()), end - start);

  const std::string pic = write(doc("cameras/alice/p.jpg"), "picture");
  auto prop = FileProperty::sharedFileProperty().toSaveFilePropertyWithoutRegistration(pic, 9);
  ASSERT_TRUE(prop);
  EXPECT_EQ(QBXUploadTask::getFileWillUploadWithPath(pic, 9)->fPhotoTime(),
            std::optional<std::string>(std::to_string(prop->getInteger("time"))));
}

TEST_F(QBXUploadStateTest, CreationFormOrderOptionalFieldsAndThumbnails) {
  File f;
  f.setName(std::string("ScreenShot_2024.01.png"));
  f.setFtype(8);
  f.setFLen(std::string("12"));
  f.setFHash(std::string("h"));
  EXPECT_EQ(QBXUploadTask::creationBodyPlainText(f),
            "name=ScreenShot_2024.01.png&type=08&length=12&hash=h");
  f.setFTime(99);
  f.setFSHA1(std::string("s"));
  f.setFTimeLen(std::string("5"));
  f.setFComment(std::string("c"));
  const std::string small = "\xff\xd8\xff small thumbnail bytes \xfb";
  write(home_ + "/Documents/img/samll/ScreenShot_2024_Thumbnail.jpg", small);
  EXPECT_EQ(
      QBXUploadTask::creationBodyPlainText(f),
      "name=ScreenShot_2024.01.png&type=08&length=12&hash=h&comment=c&time_length=5&sha1=s"
      "&time=99&small_img=_9j_IHNtYWxsIHRodW1ibmFpbCBieXRlcyD7");  // Python's urlsafe_b64encode
  // Where the home has none, the container's Documents (the thumbnail writer's place) has them.
  write(doc("img/middle/ScreenShot_2024_Thumbnail.jpg"), "mid");
  write(doc("img/samll/ScreenShot_2024_Thumbnail.jpg"), "not this one");
  EXPECT_EQ(QBXUploadTask::creationBodyPlainText(f),
            "name=ScreenShot_2024.01.png&type=08&length=12&hash=h&comment=c&time_length=5&sha1=s"
            "&time=99&small_img=_9j_IHNtYWxsIHRodW1ibmFpbCBieXRlcyD7&middle_img=bWlk");
}

// ---------------------------------------------------------------- audio playing time

namespace {

std::string le32(uint32_t v) {
  return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}
std::string le16(uint16_t v) {
  return std::string{char(v), char(v >> 8)};
}
std::string be32(uint32_t v) {
  return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string wav(uint32_t byteRate, uint32_t dataBytes) {
  std::string fmt = le16(1) + le16(1) + le32(byteRate / 2) + le32(byteRate) + le16(2) + le16(16);
  return "RIFF" + le32(36 + dataBytes) + "WAVE" + "fmt " + le32(16) + fmt + "data" +
         le32(dataBytes) + std::string(dataBytes, '\0');
}

}  // namespace

TEST_F(QBXUploadStateTest, AudioPlayingTimeFromHeaders) {
  auto seconds = [this](const std::string& name, const std::string& bytes) {
    return AudioDuration::playingTimeSeconds(write(root_ + "/" + name, bytes));
  };
  EXPECT_DOUBLE_EQ(seconds("a.wav", wav(16000, 24000)).value_or(-1), 1.5);

  // AIFF: 8000 frames at 8000 Hz (80-bit extended 8000 = 0x400B FA00...).
  std::string comm = std::string("\x00\x01", 2) + be32(8000) + std::string("\x00\x10", 2) +
                     std::string("\x40\x0b\xfa\x00\x00\x00\x00\x00\x00\x00", 10);
  std::string aiff = "FORM" + be32(4 + 8 + 18) + "AIFF" + "COMM" + be32(18) + comm;
  EXPECT_DOUBLE_EQ(seconds("a.aiff", aiff).value_or(-1), 1.0);

  EXPECT_FALSE(seconds("t.wav", wav(16000, 24000).substr(0, 30)));  // cut in its header
  EXPECT_FALSE(seconds("z.wav", wav(0, 100)));                      // no byte rate
  EXPECT_FALSE(seconds("x.mp3", "ID3 not a container we read"));
  EXPECT_FALSE(seconds("h.m4a", be32(0xffffff00) + "moov"));  // box past the end
  EXPECT_FALSE(AudioDuration::playingTimeSeconds(root_ + "/missing.wav"));
}

// Files that ffmpeg writes (an independent writer), measured by ffprobe (the
// duration their container gives).
TEST_F(QBXUploadStateTest, AudioPlayingTimeOfFilesFfmpegWrote) {
  if (std::system("ffmpeg -version >/dev/null 2>&1 && ffprobe -version >/dev/null 2>&1") != 0)
    PREREQUISITE_MISSING("ffmpeg and ffprobe are not installed (Debian package ffmpeg)");
  auto run = [](const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
      char buf[256];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
      if (pclose(p) != 0) out.clear();
    }
    return out;
  };
  const std::pair<const char*, const char*> cases[] = {
      {"mono.wav", "-ar 8000 -c:a pcm_s16le"},
      {"stereo24.wav", "-ar 44100 -ac 2 -c:a pcm_s24le"},
      {"pcm.aiff", "-ar 22050 -c:a pcm_s16be"},
      {"sowt.aifc", "-ar 48000 -f aiff -c:a pcm_s16le"},
      {"pcm.caf", "-ar 22050 -c:a pcm_s16le"},
      {"alac.caf", "-ar 44100 -c:a alac"},  // compressed: the packet table's valid frames
      {"aac.m4a", "-ar 44100 -c:a aac -b:a 64k"},
      {"alac.m4a", "-ar 22050 -ac 2 -c:a alac"},
  };
  for (const auto& [name, encoding] : cases) {
    SCOPED_TRACE(name);
    const std::string path = root_ + "/" + name;
    ASSERT_FALSE(run("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:duration=1.37 " +
                     std::string(encoding) + " '" + path + "' && echo made")
                     .empty());
    const std::string probed =
        run("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + path + "'");
    ASSERT_FALSE(probed.empty());
    auto got = AudioDuration::playingTimeSeconds(path);
    ASSERT_TRUE(got);
    EXPECT_NEAR(*got, std::stod(probed), 1e-6);  // ffprobe prints six decimals
  }
}

TEST_F(QBXUploadStateTest, BuilderReadsTheAudioPlayingTime) {
  const std::string p = write(doc("alice/Audio/rec.wav"), wav(16000, 24000));
  ASSERT_TRUE(FileProperty::sharedFileProperty().toSaveFilePropertyWithoutRegistration(p, 2));
  EXPECT_EQ(QBXUploadTask::getFileWillUploadWithPath(p, 2)->fTimeLen(),
            std::optional<std::string>("1500"));
}
