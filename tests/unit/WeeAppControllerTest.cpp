// The widget controller: its strip as the layout table gives it, both routes
// from a tap to an action, the countdown (one per tap burst, capture on the
// N-th tick or at once when the settings shrink below the count) and its prompts.
// ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "AppURL.h"
#include "FileProperty/FileProperty.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Media/Screen.h"
#include "Platform/Process/Environment.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/ImageView.h"
#include "TestSupport.h"
#include "quillboxWeeAppController.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;
using namespace platform;

// Records what the widget shows, in order.
class RecordingUI : public UserInterface {
 public:
  void showToast(const std::string& text, ToastPosition, int ms) override {
    events.push_back("toast " + text + " " + std::to_string(ms));
  }
  void showAlert(std::shared_ptr<AlertView> alert) override {
    alerts.push_back(alert);
    events.push_back("alert " + std::to_string(alert->tag()));
  }
  void showStatusBarMessage(const std::string&, StatusBarKind, int, bool) override {}
  void openURL(const std::string& url) override { events.push_back("open " + url); }
  void setIdleTimerDisabled(bool) override {}
  void hideToasts() override { events.push_back("hideToasts"); }
  std::vector<std::string> events;
  std::vector<std::shared_ptr<AlertView>> alerts;
};

class WeeAppControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    container_ = dir_.file("Applications/C0FFEE");
    fs::create_directories(container_ + "/quillbox.app");
    fs::create_directories(container_ + "/Library");
    PlistDict user;
    user.set("userName", PlistValue("alice"));
    PropertyList::write(container_ + "/Library/com.velmor.userinfo.plist", PlistValue(user));
    settings(3);
    settings_.set("QUILLBOX_APPS_ROOT", dir_.file("Applications"));
    settings_.set("QUILLBOX_WEEAPP_BUNDLE", bundle_);
    settings_.set("QUILLBOX_HOME", dir_.file("home"));  // the captures' signing key
    settings_.set("QUILLBOX_SYSTEM_VERSION", Environment::get("QUILLBOX_SYSTEM_VERSION"));
    containerScope_.set(container_);
  }
  void settings(int64_t seconds) {
    PlistDict s;
    s.set("screenshotsecond", PlistValue::integer(seconds));
    s.set("screenshotsound", PlistValue::boolean(true));
    PropertyList::write(container_ + "/Library/com.velmor.info.plist", PlistValue(s));
  }
  std::vector<std::string> stored() {
    std::vector<std::string> names;
    const std::string folder = container_ + "/Documents/ScreenShot/alice";
    if (fs::exists(folder))
      for (auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
    return names;
  }

  TempDir dir_;
  std::string container_;
  ScopedSettings settings_;
  ScopedContainer containerScope_;
  AtScopeEnd widgetMode_{[] { FileProperty::setWidgetMode(false); }};
  const std::string bundle_ =
      std::string(QUILLBOX_SOURCE_DIR) + "/share/quillbox/quillboxWeeApp.bundle";
  RecordingUI ui_;
  std::unique_ptr<Screen> screen_ = Screen::create("synthetic:64x96");
  ScopedDefault<UserInterface> uiScope_{ui_};
  ScopedDefault<Screen> screenScope_{*screen_};
  // Records are made, nothing is sent.
  ThreadsFor quiet_{FileProperty::kRegistrationThread, ThreadsFor::Mode::Drop};
  ScopedDefault<Threads> quietScope_{quiet_};
};

TEST_F(WeeAppControllerTest, ViewFollowsTheLayoutTableAndEveryRouteReachesTheAction) {
  struct Button {
    Rect frame;
    const char* title;
    const char* image;
    const char* opens;  // "" for the screenshot button
  };
  const Button kTable[] = {
      {{25, 5, 45, 45}, "截屏存证", "screenShot.png", ""},
      {{100, 5, 45, 45}, "拍照存证", "photo.png", "quillbox://saveEvidence/photo"},
      {{175, 5, 45, 45}, "录像存证", "video.png", "quillbox://saveEvidence/video"},
      {{245, 5, 45, 45}, "录音存证", "record.png", "quillbox://saveEvidence/audio"},
  };
  // A major version of exactly 5 taps through recognisers, any other through touch-up-inside.
  for (auto [version, recognises] : std::vector<std::pair<std::string, bool>>{
           {"5.1.1", true}, {"5", true}, {"6.1.3", false}, {"15.0", false}, {"", false}}) {
    SCOPED_TRACE("system version " + version);
    Environment::set("QUILLBOX_SYSTEM_VERSION", version);
    ui_.events.clear();
    quillboxWeeAppController controller;
    auto root = controller.view();
    EXPECT_EQ(controller.view(), root);
    EXPECT_EQ(controller.viewHeight(), 71.0f);
    EXPECT_EQ((std::vector<double>{root->frame().x, root->frame().y, root->frame().width,
                                   root->frame().height}),
              (std::vector<double>{2, 0, 316, 71}));
    ASSERT_EQ(root->subviews().size(), 5u);
    auto& bg = static_cast<ImageView&>(*root->subviews()[0]);
    ASSERT_EQ(bg.kind(), View::Kind::ImageView);
    EXPECT_EQ(bg.image().path, bundle_ + "/WeeAppBackground.png");
    EXPECT_EQ(std::make_pair(bg.image().leftCapWidth, bg.image().topCapHeight),
              std::make_pair(5, 71));
    EXPECT_EQ(bg.frame().width, 316);

    std::vector<std::string> expectedOpens;
    for (size_t i = 0; i < 4; ++i) {
      auto& b = static_cast<platform::Button&>(*root->subviews()[i + 1]);
      ASSERT_EQ(b.kind(), View::Kind::Button);
      const Button& want = kTable[i];
      EXPECT_EQ(b.title(), want.title);
      EXPECT_EQ(b.backgroundImage().path, bundle_ + "/" + want.image);
      EXPECT_TRUE(fs::exists(b.backgroundImage().path)) << want.image;
      EXPECT_EQ(
          (std::vector<double>{b.frame().x, b.frame().y, b.frame().width, b.frame().height}),
          (std::vector<double>{want.frame.x, want.frame.y, want.frame.width, want.frame.height}));
      EXPECT_EQ(b.titleEdgeInsets().top, 60);
      EXPECT_EQ(b.titleEdgeInsets().left + b.titleEdgeInsets().bottom + b.titleEdgeInsets().right,
                0);
      EXPECT_EQ(b.titleFont().family + " " + std::to_string(int(b.titleFont().size)), "system 11");
      EXPECT_EQ(b.buttonType(), platform::Button::Type::Custom);
      EXPECT_EQ(b.gestureRecognizers().size(), recognises ? 1u : 0u);
      EXPECT_EQ(b.hasTargetsForControlEvents(kControlEventTouchUpInside), !recognises);
      b.tap();
      if (*want.opens) expectedOpens.push_back(std::string("open ") + want.opens);
    }
    EXPECT_TRUE(controller.isCountingDown());  // the screenshot button's tap arrived too
    EXPECT_EQ(ui_.events[0], "toast 3秒之后开始截屏 2000");
    EXPECT_EQ(std::vector<std::string>(ui_.events.begin() + 1, ui_.events.end()), expectedOpens);
  }
}

TEST_F(WeeAppControllerTest, CountdownCapturesOnTheTickTheSettingsAllow) {
  struct Case {
    const char* what;
    int64_t seconds;
    int changeAfterTicks;  // 0: the settings stay
    int64_t changedTo;
    int captureTick;
  };
  const Case kCases[] = {
      {"three seconds: the third tick", 3, 0, 0, 3},
      {"lengthened during the countdown", 2, 1, 4, 4},
      {"shortened to the count: that tick", 5, 1, 2, 2},
      {"shortened below the count: at once", 5, 3, 1, 4},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    settings(c.seconds);
    ui_.events.clear();
    ui_.alerts.clear();
    for (auto& f : stored()) fs::remove(container_ + "/Documents/ScreenShot/alice/" + f);
    quillboxWeeAppController controller;
    controller.actionScreenShot();
    controller.actionScreenShot();  // within the countdown: ignored
    ASSERT_EQ(ui_.events.size(), 1u);
    for (int tick = 1; tick <= c.captureTick; ++tick) {
      if (tick == c.changeAfterTicks + 1 && c.changeAfterTicks) settings(c.changedTo);
      EXPECT_TRUE(controller.isCountingDown());
      EXPECT_TRUE(ui_.alerts.empty()) << "captured early, on tick " << tick;
      controller.shot();
    }
    EXPECT_FALSE(controller.isCountingDown());
    EXPECT_EQ(controller.iTime(), 0);
    ASSERT_EQ(stored().size(), 1u);
    // The toast was taken down before the grab; then the evidence prompt about the file.
    EXPECT_EQ(std::vector<std::string>(ui_.events.begin() + 1, ui_.events.end()),
              (std::vector<std::string>{"hideToasts", "alert 0"}));
    ASSERT_EQ(ui_.alerts.size(), 1u);
    EXPECT_EQ(ui_.alerts[0]->subviews()[1].text, stored()[0]);
    EXPECT_EQ(controller.strFilePath(), container_ + "/Documents/ScreenShot/alice/" + stored()[0]);
  }
}

TEST_F(WeeAppControllerTest, PromptsAnswerEachTheirOwnWay) {
  quillboxWeeAppController controller;
  controller.checkUpdateInfoSuccess();
  controller.checkUpdateInfoSuccess();
  ASSERT_EQ(ui_.alerts.size(), 2u);
  const AlertView& update = *ui_.alerts[0];
  EXPECT_EQ(update.tag(), 2);
  EXPECT_EQ(update.title(), "");
  EXPECT_EQ(update.message(), "Sorelle(server)检测到新版本，是否更新？");
  EXPECT_EQ(update.buttons(), (std::vector<std::string>{"暂不更新", "更新"}));
  ui_.events.clear();
  ui_.alerts[0]->deliverAnswer(0, "user");
  EXPECT_TRUE(ui_.events.empty());
  ui_.alerts[1]->deliverAnswer(1, "user");
  EXPECT_EQ(ui_.events,
            (std::vector<std::string>{"open cydia://package/com.velmor.quillbox.server"}));
}

}  // namespace
}  // namespace quillbox
