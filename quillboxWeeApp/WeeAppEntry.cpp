// The plug-in's entry point: the factory of its principal class.
#include "quillboxWeeAppController.h"

// The factory the host finds by the bundle's principal class.
extern "C" __attribute__((visibility("default"))) quillbox::platform::BBWeeAppController*
quillboxWeeAppControllerCreate() {
  return new quillbox::quillboxWeeAppController();
}
