// ScreenShotManager: carries out each screenshot trigger of the capture daemon.
//
// One instance per process (sharedManager). Everything runs on the main
// thread inside the trigger's notification callback: the countdown toast, the
// blocking wait, the capture, the shutter sound (a nested run of the main run
// loop until it has played), the atomic write of the PNG into the user's
// screenshot folder of the client application's container, and the
// post-capture hand-off. REQUIRES: called on the main thread.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "Platform/Media/Image.h"
#include "Platform/Media/Screen.h"
#include "Platform/UI/UserInterface.h"
#include "PropertyList/PlistValue.h"

namespace quillbox {

class ScreenShotManager : public platform::AlertViewDelegate {
 public:
  static ScreenShotManager& sharedManager();

  // Announces the countdown with a toast, then captures (shot).
  void screenShotPort();
  // Waits the countdown, captures the screen, plays the shutter sound unless
  // silenced, locates the client application and stores the PNG. Without a
  // client application the capture ends without storing anything.
  void shot();
  // A screenshot file name for this moment: "ScreenShot_YYYYMMDD_HHMMSS.png" (local time).
  static std::string getScreenShot();
  // Plays the shutter sound and returns when it has finished (at most about 3 s);
  // a missing or unplayable sound file is skipped.
  static void playSound();
  // Stores the PNG data atomically in the user's screenshot folder, then runs
  // the post-capture hand-off. Gives the full path ("" when nothing was written).
  std::string saveImageToLocal(const std::string& pngData,
                               const platform::Image* picture = nullptr);

  // Shows the evidence prompt about the stored file and returns at once; the
  // answer arrives in alertViewClickedButtonAtIndex. Each prompt's answer acts
  // on its own file, also when a newer prompt was shown before it was answered.
  void showUploadAlert(const std::string& fileName, const std::string& fullPath);
  // The prompt's buttons: "存证" (index 1) checks the client's version and hands
  // the screenshot to the upload manager; "稍后存证" (index 0) does nothing.
  void alertViewClickedButtonAtIndex(platform::AlertView& alert, int index) override;
  // The screenshot an evidence prompt is about (its picture); "" for another alert.
  static std::string evidencePath(const platform::AlertView& alert);

  // Full path of the screenshot the latest evidence prompt is about.
  std::string strFilePath() const;
  void setStrFilePath(const std::string& path);

  // Seconds of the countdown that the next trigger will use.
  static int countdownSeconds();

  // After the PNG is stored: the property record (which starts its
  // registration), the evidence file's proof (its time stamp follows in the
  // background), the evidence prompt, the thumbnails (made from `picture`
  // when given, else from the stored file).
  void postCaptureHandOff(const std::string& fileName, const std::string& fullPath,
                          const platform::Image* picture);

  // The road the widget's copy shares with the daemon's. What differs between
  // the two: how the new file is named and who shows (and answers) the prompt.
  struct CaptureRoad {
    std::function<std::string()> fileName;
    std::function<void(const std::string& fileName, const std::string& fullPath)> showPrompt;
  };
  // From the end of a countdown: takes the countdown toast down, grabs the
  // screen, encodes it, plays the shutter sound unless `settings` silence it,
  // locates the client application, then storeAndHandOff. Gives the stored
  // file's path; "" when nothing was stored. A screen that gives no picture
  // stores nothing at all (no file, record, registration or proof): one log
  // line names the cause and a toast tells the person (refuseCapture).
  // REQUIRES: called on the main thread.
  static std::string captureAndHandOff(const PlistDict& settings, const CaptureRoad& road);
  // Stores the PNG as road.fileName() in the current user's screenshot folder,
  // then the record, the proof (naming `source`, how the screen was read, when
  // given), road.showPrompt and the thumbnails. Gives the full path, "" when
  // nothing was written (and nothing else is done).
  static std::string storeAndHandOff(const std::string& pngData, const platform::Image* picture,
                                     const CaptureRoad& road,
                                     const platform::ScreenSource* source = nullptr);
  // The hand-off alone, of a file already stored at fullPath.
  static void handOff(const std::string& fileName, const std::string& fullPath,
                      const platform::Image* picture, const CaptureRoad& road,
                      const platform::ScreenSource* source = nullptr);
  // A capture that gave no picture: the log line "日志:截屏失败: <reason>" and
  // the toast of captureFailedToastText.
  static void refuseCapture(platform::ScreenFailure why, const std::string& reason);
  // The toast's text for a failed capture: its cause and what to do, in the person's words.
  static std::string captureFailedToastText(platform::ScreenFailure why);

  // The countdown toast's text for these capture settings.
  static std::string countdownToastText(const PlistDict& settings);
  // Writes the PNG atomically as `fileName` into the current user's screenshot
  // folder (made when missing); gives the full path, "" when nothing was written.
  static std::string storeScreenshot(const std::string& pngData, const std::string& fileName);
  // The file's thumbnails, from `picture` when given, else from the stored file.
  static void writeThumbnails(const std::string& fileName, const std::string& fullPath,
                              const platform::Image* picture);
  // The evidence prompt about a stored file, answered through `delegate`.
  static std::shared_ptr<platform::AlertView> evidenceAlert(const std::string& fileName,
                                                            const std::string& fullPath,
                                                            platform::AlertViewDelegate* delegate);
  // "存证": the upload gate, then the file goes to the upload manager (or the
  // old-version toast is shown).
  static void preserveEvidence(const std::string& fullPath);

 private:
  ScreenShotManager() = default;
  CaptureRoad road();
  // The capture settings of this trigger: none (the defaults) for the first
  // trigger of the process, the client application's from the second on.
  PlistDict triggerSettings();
  void shot(const PlistDict& settings);
  mutable std::mutex mu_;
  std::string strFilePath_;
  bool triggered_ = false;
};

// The trigger's notification callback: hands over to the shared manager.
void screenShotPort(const std::string& name);

// The system-wide notification that triggers a capture.
inline constexpr const char* kScreenshotNotification = "com.velmor.quillbox.server.screenshot";

}  // namespace quillbox
