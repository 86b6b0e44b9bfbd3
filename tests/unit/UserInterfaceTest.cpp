// The user-interface kit's journal backend: one JSON object a line, prompts
// answered by policy on the main run loop.
// ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Loop/RunLoop.h"
#include "Platform/UI/JournalUserInterface.h"
#include "Platform/UI/UserInterface.h"
#include "TestSupport.h"

namespace quillbox::platform {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using Policy = JournalUserInterface::PromptPolicy;
using std::chrono::milliseconds;

class UserInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quillbox-ui-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    journal_ = root_ + "/sub/journal.jsonl";  // the parent folder does not exist yet
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  std::vector<std::string> rawLines() {
    std::ifstream in(journal_);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
  }
  std::vector<Json> lines() {
    std::vector<Json> out;
    for (auto& l : rawLines()) out.push_back(Json::parse(l));
    return out;
  }
  static std::vector<std::string> keys(const Json& j) {
    std::vector<std::string> k;
    for (auto& [key, v] : j.items()) k.push_back(key);
    return k;
  }
  // Checks "time" and "pid", then drops them so the rest can be compared whole.
  static Json withoutStamp(Json j) {
    static const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)");
    EXPECT_TRUE(j["time"].is_string() && std::regex_match(j["time"].get<std::string>(), iso))
        << j.dump();
    EXPECT_EQ(j["pid"], static_cast<int>(::getpid()));
    j.erase("time");
    j.erase("pid");
    return j;
  }
  std::string root_, journal_;
};

TEST_F(UserInterfaceTest, EachEventIsOneLineWithExactlyItsMembers) {
  JournalUserInterface ui(journal_, Policy::None);
  ASSERT_TRUE(ui.isOpen());
  ui.showToast("5秒之后开始截屏", ToastPosition::Center, 2000);
  ui.showToast("b", ToastPosition::Bottom, 3000);
  ui.showStatusBarMessage("添加 1 个任务到上传队列！", StatusBarKind::Plain, 2000, true);
  ui.showStatusBarMessage("有 1 个任务上传完成!", StatusBarKind::Finished, 2000, false);
  ui.openURL("quillbox://saveEvidence/photo");
  ui.setIdleTimerDisabled(false);  // no change from the start: nothing written
  ui.setIdleTimerDisabled(true);
  ui.setIdleTimerDisabled(true);  // no change
  ui.setIdleTimerDisabled(false);

  auto got = lines();
  ASSERT_EQ(got.size(), 7u);
  for (auto& j : got) {
    auto k = keys(j);
    ASSERT_GE(k.size(), 3u);
    EXPECT_EQ(k.front(), "event");
    EXPECT_EQ(k[k.size() - 2], "time");
    EXPECT_EQ(k.back(), "pid");
  }
  EXPECT_EQ(
      withoutStamp(got[0]),
      Json::parse(
          R"({"event":"toast","text":"5秒之后开始截屏","position":"center","durationMs":2000})"));
  EXPECT_EQ(withoutStamp(got[1]),
            Json::parse(R"({"event":"toast","text":"b","position":"bottom","durationMs":3000})"));
  EXPECT_EQ(
      withoutStamp(got[2]),
      Json::parse(
          R"({"event":"statusBar","text":"添加 1 个任务到上传队列！","kind":"plain","durationMs":2000,"animated":true})"));
  EXPECT_EQ(
      withoutStamp(got[3]),
      Json::parse(
          R"({"event":"statusBar","text":"有 1 个任务上传完成!","kind":"finished","durationMs":2000,"animated":false})"));
  EXPECT_EQ(withoutStamp(got[4]),
            Json::parse(R"({"event":"openURL","url":"quillbox://saveEvidence/photo"})"));
  EXPECT_EQ(withoutStamp(got[5]), Json::parse(R"({"event":"idleTimer","disabled":true})"));
  EXPECT_EQ(withoutStamp(got[6]), Json::parse(R"({"event":"idleTimer","disabled":false})"));
}

struct RecordingDelegate : AlertViewDelegate {
  std::vector<std::pair<int, int>> answers;  // tag, index
  bool onMain = true;
  void alertViewClickedButtonAtIndex(AlertView& alert, int index) override {
    answers.emplace_back(alert.tag(), index);
    onMain = onMain && RunLoop::isMainThread();
  }
};

std::shared_ptr<AlertView> evidencePrompt(AlertViewDelegate* d) {
  auto a = AlertView::create("截屏成功", "\n\n\n\n\n\n\n\n\n\n\n\n", d, "稍后存证", {"存证"});
  a->addSubview(AlertSubview::picture(70, 44, 135, 210, "/data/ScreenShot_1.png"));
  a->addSubview(AlertSubview::label(8, 260, 265, 30, "ScreenShot_1.png", "system 14",
                                    {239.0 / 255, 1.0, 163.0 / 255, 1.0}, "center"));
  return a;
}

TEST_F(UserInterfaceTest, AlertIsWrittenWithItsLayout) {
  JournalUserInterface ui(journal_, Policy::None);
  RecordingDelegate d;
  auto alert = evidencePrompt(&d);
  EXPECT_EQ(alert->cancelButtonIndex(), 0);
  EXPECT_EQ(alert->buttonTitleAtIndex(1), "存证");
  EXPECT_EQ(alert->buttonTitleAtIndex(2), "");
  ui.showAlert(alert);
  auto got = lines();
  ASSERT_EQ(got.size(), 1u);
  Json expected = Json::parse(R"({"event":"alert","title":"截屏成功",
      "message":"\n\n\n\n\n\n\n\n\n\n\n\n","buttons":["稍后存证","存证"],"tag":0,
      "subviews":[{"frame":[70,44,135,210],"path":"/data/ScreenShot_1.png"},
                  {"frame":[8,260,265,30],"text":"ScreenShot_1.png","font":"system 14",
                   "color":[0.9372549019607843,1,0.6392156862745098,1],"alignment":"center"}]})");
  EXPECT_EQ(withoutStamp(got[0]), expected);
  // Policy "none": never answered.
  RunLoop::main().runFor(milliseconds(50));
  EXPECT_EQ(rawLines().size(), 1u);
  EXPECT_TRUE(d.answers.empty());
}

TEST_F(UserInterfaceTest, PolicyAnswersOnTheMainLoopRightAfterShowing) {
  ASSERT_TRUE(RunLoop::isMainThread());
  for (Policy policy : {Policy::Confirm, Policy::Decline}) {
    fs::remove(journal_);
    JournalUserInterface ui(journal_, policy);
    RecordingDelegate d;
    auto alert = evidencePrompt(&d);
    alert->setTag(2);
    // Shown from a worker thread: the answer still comes on the main loop.
    std::thread shower([&] { ui.showAlert(alert); });
    shower.join();
    EXPECT_TRUE(d.answers.empty());  // showAlert returned at once
    RunLoop::main().perform([] { RunLoop::main().stop(); });
    EXPECT_TRUE(RunLoop::main().runFor(milliseconds(30000)));
    int index = policy == Policy::Confirm ? 1 : 0;
    EXPECT_EQ(d.answers, (std::vector<std::pair<int, int>>{{2, index}}));
    EXPECT_TRUE(d.onMain);
    auto got = lines();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0]["event"], "alert");
    Json answer = Json::object();
    answer["event"] = "alertAnswer";
    answer["tag"] = 2;
    answer["index"] = index;
    answer["by"] = "policy";
    EXPECT_EQ(withoutStamp(got[1]), answer);
  }
}

TEST_F(UserInterfaceTest, AnswerByHandAndAlertsWithoutButtons) {
  JournalUserInterface ui(journal_, Policy::Confirm);
  RecordingDelegate d;
  auto bare = AlertView::create("t", "m", &d, "", {});
  ui.showAlert(bare);  // nothing to tap: no answer
  auto two = AlertView::create("t", "m", &d, "", {"甲", "乙"});
  EXPECT_EQ(two->cancelButtonIndex(), -1);
  JournalUserInterface manual(journal_, Policy::None);
  manual.showAlert(two);
  manual.answerAlert(two, 5);  // out of range: refused
  manual.answerAlert(two, 1);
  RunLoop::main().perform([] { RunLoop::main().stop(); });
  EXPECT_TRUE(RunLoop::main().runFor(milliseconds(30000)));
  EXPECT_EQ(d.answers, (std::vector<std::pair<int, int>>{{0, 1}}));
  auto got = lines();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[2]["event"], "alertAnswer");
  EXPECT_EQ(got[2]["by"], "user");
  EXPECT_EQ(got[2]["index"], 1);
}

TEST_F(UserInterfaceTest, TextsAreEscapedAsJsonAndReadBackByAnIndependentParser) {
  JournalUserInterface ui(journal_, Policy::None);
  const std::string tricky = "\"稍后\"存证\\ \n\t\x01 end";
  ui.showToast(tricky, ToastPosition::Center, 2000);
  ui.showToast(std::string("bad \xff\xfe utf-8"), ToastPosition::Bottom, 3000);  // no throw
  ASSERT_EQ(rawLines().size(), 2u);
  EXPECT_EQ(lines()[0]["text"], tricky);

  // Python's json module reads every line and gives the texts back ASCII-escaped.
  std::string cmd =
      "python3 -c 'import json,sys\n"
      "for l in open(sys.argv[1], encoding=\"utf-8\"):\n"
      "  print(json.dumps(json.loads(l)[\"text\"]))' " +
      journal_;
  FILE* p = ::popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[512];
  while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  ASSERT_EQ(::pclose(p), 0);
  EXPECT_EQ(out,
            "\"\\\"\\u7a0d\\u540e\\\"\\u5b58\\u8bc1\\\\ \\n\\t\\u0001 end\"\n"
            "\"bad \\ufffd\\ufffd utf-8\"\n");
}

TEST_F(UserInterfaceTest, ConcurrentWritersProduceWholeLines) {
  // Two instances on one file stand for two processes; each has two threads.
  JournalUserInterface a(journal_, Policy::None), b(journal_, Policy::None);
  const std::string filler(300, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    JournalUserInterface& ui = t % 2 ? a : b;
    threads.emplace_back([&ui, t, &filler] {
      for (int i = 0; i < 250; ++i) {
        ui.showStatusBarMessage(std::to_string(t) + ":" + std::to_string(i) + filler,
                                StatusBarKind::Plain, 2000, true);
      }
    });
  }
  for (auto& t : threads) t.join();
  auto raw = rawLines();
  ASSERT_EQ(raw.size(), 1000u);
  std::map<int, std::vector<int>> perThread;
  for (auto& l : raw) {
    Json j = Json::parse(l);  // throws (fails the test) on a torn line
    std::string text = j["text"];
    size_t colon = text.find(':');
    perThread[std::stoi(text.substr(0, colon))].push_back(std::stoi(text.substr(colon + 1)));
  }
  ASSERT_EQ(perThread.size(), 4u);
  for (auto& [t, seq] : perThread) {
    ASSERT_EQ(seq.size(), 250u);
    for (int i = 0; i < 250; ++i) EXPECT_EQ(seq[i], i);  // each thread's lines in its order
  }
}

TEST_F(UserInterfaceTest, SettingsSelectTheBackendAndUnusablePathsAreSafe) {
  EXPECT_EQ(JournalUserInterface::parsePolicy("confirm"), Policy::Confirm);
  EXPECT_EQ(JournalUserInterface::parsePolicy("decline"), Policy::Decline);
  EXPECT_EQ(JournalUserInterface::parsePolicy("none"), Policy::None);
  EXPECT_EQ(JournalUserInterface::parsePolicy("yes"), std::nullopt);
  EXPECT_EQ(JournalUserInterface::fromSettings("web:8080", "confirm"), nullptr);
  EXPECT_EQ(JournalUserInterface::fromSettings("journal:", "confirm"), nullptr);
  EXPECT_NE(JournalUserInterface::fromSettings("journal:-", ""), nullptr);

  // An unknown policy answers nothing.
  auto ui = JournalUserInterface::fromSettings("journal:" + journal_, "sometimes");
  ASSERT_NE(ui, nullptr);
  RecordingDelegate d;
  ui->showAlert(evidencePrompt(&d));
  RunLoop::main().runFor(milliseconds(50));
  EXPECT_TRUE(d.answers.empty());

  // A journal path below a regular file can't be opened: events are dropped quietly.
  { std::ofstream(root_ + "/file") << "x"; }
  JournalUserInterface broken(root_ + "/file/journal", Policy::Confirm);
  EXPECT_FALSE(broken.isOpen());
  broken.showToast("x", ToastPosition::Center, 2000);
  broken.setIdleTimerDisabled(true);
}

TEST_F(UserInterfaceTest, SeveralBackendsShowEverythingAndAnAlertIsAnsweredOnce) {
  const std::string second = root_ + "/second.jsonl";
  auto ui = UserInterface::fromSettings("journal:" + journal_ + ",journal:" + second, "confirm");
  ASSERT_NE(ui, nullptr);
  EXPECT_EQ(UserInterface::fromSettings("journal:-,desk", "none"), nullptr);
  RecordingDelegate d;
  auto alert = evidencePrompt(&d);
  ui->showToast("t", ToastPosition::Center, 2000);
  ui->showAlert(alert);  // both journals' policies answer: the first one wins
  RunLoop::main().perform([] { RunLoop::main().stop(); });
  EXPECT_TRUE(RunLoop::main().runFor(milliseconds(30000)));
  EXPECT_EQ(d.answers.size(), 1u);
  EXPECT_FALSE(alert->deliverAnswer(0, "user"));  // already answered
  for (const std::string& path : {journal_, second}) {
    std::ifstream in(path);
    std::vector<std::string> events;
    for (std::string l; std::getline(in, l);) events.push_back(Json::parse(l)["event"]);
    EXPECT_EQ(events, (std::vector<std::string>{"toast", "alert", "alertAnswer"})) << path;
  }
}

TEST_F(UserInterfaceTest, SharedInstanceCanBeReplacedByADouble) {
  struct CountingUi : UserInterfaceWrapper {
    using UserInterfaceWrapper::UserInterfaceWrapper;
    int toasts = 0;
    void showToast(const std::string& t, ToastPosition p, int ms) override {
      ++toasts;
      UserInterfaceWrapper::showToast(t, p, ms);
    }
  };
  JournalUserInterface journal(journal_, Policy::None);
  CountingUi counting(journal);
  {
    ScopedDefault<UserInterface> scope(counting);
    UserInterface::Default().showToast("hi", ToastPosition::Center, 2000);
    AlertView::create("t", "m", nullptr, "ok", {})->show();
  }
  EXPECT_EQ(counting.toasts, 1);
  auto got = lines();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]["event"], "toast");
  EXPECT_EQ(got[1]["event"], "alert");
}

}  // namespace
}  // namespace quillbox::platform
