// The desktop backend on a private session bus that has no notification server
// and no screen saver: URLs go to xdg-open (a stand-in on PATH) and nothing
// else does; missing services are logged, never fatal.
// ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "Platform/Process/Log.h"
#include "Platform/UI/DesktopUserInterface.h"
#include "TestSupport.h"

namespace quillbox::platform {
namespace {

bool contains(const std::vector<std::string>& lines, const std::string& part) {
  for (auto& l : lines)
    if (l.find(part) != std::string::npos) return true;
  return false;
}

TEST(DesktopUserInterfaceTest, OpensOnlyURLsAndLivesWithoutServices) {
  if (std::system("command -v dbus-daemon >/dev/null") != 0)
    PREREQUISITE_MISSING("dbus-daemon is not installed");
  TempDir dir;
  PrivateSessionBus bus(dir);
  ASSERT_TRUE(bus.ok());
  ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
  writeFile(dir.file("xdg-open"), "#!/bin/sh\nprintf '%s\\n' \"$*\" >> \"$0.log\"\n");
  ::chmod(dir.file("xdg-open").c_str(), 0755);
  const std::string oldPath = std::getenv("PATH");
  ::setenv("PATH", (dir.path() + ":" + oldPath).c_str(), 1);

  std::mutex mu;
  std::vector<std::string> log;
  {
    ScopedLogSink sink([&](const std::string& l) {
      std::lock_guard<std::mutex> lock(mu);
      log.push_back(l);
    });
    auto ui = DesktopUserInterface::connect();
    ASSERT_NE(ui, nullptr);
    EXPECT_FALSE(ui->hasNotificationServer());
    ui->showToast("t", ToastPosition::Center, 2000);  // no server: a log line
    ui->hideToasts();                                 // nothing shown: returns at once
    ui->setIdleTimerDisabled(true);
    ui->setIdleTimerDisabled(false);
    ui->setIdleTimerDisabled(true);
    for (const char* refused : {"--help", "/etc/passwd", "", ":x"}) ui->openURL(refused);
    ui->openURL("quillbox://saveEvidence/photo");
    std::string opened;
    for (int i = 0; i < 2400 && opened.empty(); ++i) {  // a minute at most
      std::ifstream in(dir.file("xdg-open.log"));
      std::getline(in, opened);
      if (opened.empty()) usleep(25'000);
    }
    EXPECT_EQ(opened, "quillbox://saveEvidence/photo");
  }
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  ::setenv("PATH", oldPath.c_str(), 1);

  std::ifstream in(dir.file("xdg-open.log"));
  int lines = 0;
  for (std::string l; std::getline(in, l);) ++lines;
  EXPECT_EQ(lines, 1);  // the refused ones never reached it
  int refusedLines = 0, saverLines = 0;
  for (auto& l : log) {
    refusedLines += l.find("not a URL") != std::string::npos;
    saverLines += l.find("no screen saver") != std::string::npos;
  }
  EXPECT_EQ(refusedLines, 4);
  EXPECT_EQ(saverLines, 1);  // said once, not at every upload
  EXPECT_TRUE(contains(log, "Notify on the session bus failed"));
}

}  // namespace
}  // namespace quillbox::platform
