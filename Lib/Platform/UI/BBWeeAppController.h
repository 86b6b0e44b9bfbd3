// BBWeeAppController: what a widget plug-in offers the host that shows it.
//
// The host loads the plug-in's bundle, creates its principal class through the
// factory the plug-in exports and calls the controller on the host's main
// thread only: view() once to get the view tree it shows (the same tree on
// every call), viewHeight() for the height it reserves, and viewDidAppear()
// each time the widget is shown to a person.
#pragma once

#include <memory>
#include <string>

#include "Platform/UI/View.h"

namespace quillbox::platform {

class BBWeeAppController {
 public:
  virtual ~BBWeeAppController() = default;
  virtual std::shared_ptr<View> view() = 0;
  virtual float viewHeight() = 0;
  virtual void viewWillAppear() {}
  virtual void viewDidAppear() {}
  virtual void viewWillDisappear() {}
  virtual void viewDidDisappear() {}
};

// The factory a plug-in exports with C linkage under the name
// weeAppFactorySymbol(principal class): a new controller the host owns.
using WeeAppControllerFactory = BBWeeAppController* (*)();
inline std::string weeAppFactorySymbol(const std::string& principalClass) {
  return principalClass + "Create";
}

}  // namespace quillbox::platform
