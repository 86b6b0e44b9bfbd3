// quillboxWeeAppController: the widget plug-in's controller, a strip of four
// buttons shown by a widget host.
//
// "截屏存证" counts down with a one-second repeating timer on the main run loop,
// then captures the screen, stores the PNG in the client application's
// container, records it, asks whether to preserve it now (the evidence prompt)
// and uploads it when confirmed, all in this process. "拍照存证", "录像存证" and
// "录音存证" open the client application's URLs. Each showing locates the
// client application on a thread of its own, renews the session and counts the
// showing in the plug-in info plist; the first counted showing and every
// hundredth after it check for an update on a thread of its own and offer it
// with the update prompt (tag 2).
//
// Thread safety: the host calls every operation on its main thread; the
// timer, the prompts and the update check's results run there too.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Loop/RunLoop.h"
#include "Platform/Media/Image.h"
#include "Platform/UI/BBWeeAppController.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/UserInterface.h"
#include "Platform/UI/View.h"
#include "ScreenShotManager/ScreenShotManager.h"

namespace quillbox {

class quillboxWeeAppController : public platform::BBWeeAppController,
                                 public platform::AlertViewDelegate {
 public:
  static constexpr float kViewHeight = 71.0f;
  static constexpr int kUpdateAlertTag = 2;

  // init: no view, no timer, no ticks counted, no prompt.
  quillboxWeeAppController();
  // Stops a running countdown; prompts still open answer nobody.
  ~quillboxWeeAppController() override;

  // Builds the view on the first call (root, background, four buttons) and
  // gives the same view on every call. With a system whose major version is
  // exactly 5 the buttons reach their actions through tap recognisers,
  // otherwise through touch-up-inside targets.
  std::shared_ptr<platform::View> view() override;
  float viewHeight() override { return kViewHeight; }
  // A showing: the locator thread, the automatic login, then (with a known
  // container) the showing counter and, on its value 0, the update check.
  void viewDidAppear() override;

  // Starts the countdown (toast, one-second timer); ignored while one runs.
  void actionScreenShot();
  void actionPhoto();
  void actionVideo();
  void actionRecord();
  // The countdown's tick: captures once the ticks reach the countdown length
  // read afresh from the capture settings (also when it dropped below them).
  void shot();

  // Locates the client application unless its container is already known.
  static void setAppPath();
  // The update check (blocks; the showing runs it on a thread of its own),
  // its result handed to the main thread, waiting until it has run.
  void checkUpdateInfoThread();
  void checkUpdateInfoSuccess();
  void checkUpdateInfoFail() {}
  // The update prompt (tag 2: "更新" opens the package page) and the
  // evidence prompt ("存证" preserves the screenshot).
  void alertViewClickedButtonAtIndex(platform::AlertView& alert, int index) override;

  // The widget's copies of the capture road.
  static std::string getScreenShot();  // "ScreenShot_YYYYMMDD_HHMMSS.png", local time
  static void playSound();
  // Stores the PNG, records it, writes its proof (the time stamp follows in
  // the background), shows the evidence prompt, writes the thumbnails.
  // Gives the full path ("" when nothing was stored).
  std::string saveImageToLocal(const std::string& pngData, const platform::Image* picture);
  // The widget's part of the shared capture road: its file names, its prompt.
  ScreenShotManager::CaptureRoad road();
  void showUploadAlert(const std::string& fileName, const std::string& fullPath);
  static bool setQuillboxAppPath(const std::string& dir);
  static std::string getAppLibFilePath(const std::string& name);
  static int32_t formatVersion(const std::string& version, int32_t full);

  bool isCountingDown() const { return timer_ != 0; }
  int32_t iTime() const { return iTime_; }
  const std::string& strFilePath() const { return strFilePath_; }

 private:
  void checkUpdateInfo(const std::weak_ptr<int>& alive);
  void startCountdownTimer();
  void stopCountdownTimer();
  void showAlertTracked(const std::shared_ptr<platform::AlertView>& alert);
  std::shared_ptr<platform::Button> makeButton(platform::Rect frame, const char* title,
                                               const char* image,
                                               void (quillboxWeeAppController::*action)(),
                                               bool useTapRecognizer);

  std::shared_ptr<platform::View> _view;
  uint64_t timer_ = 0;  // the countdown timer's id on timerLoop_; 0 when none runs
  std::shared_ptr<platform::RunLoop> timerLoop_;
  int32_t iTime_ = 0;
  std::string strFilePath_;
  std::vector<std::weak_ptr<platform::AlertView>> shownAlerts_;
  // Lets work handed back to the main thread see that the controller is gone.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace quillbox
