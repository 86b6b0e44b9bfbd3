// Content credentials in captures: our own reader's checks, the identity's
// certificates (the openssl command as the peer), and the pixels (libpng and
// ImageMagick as peers). The C2PA project's reader checks the captures in
// tests/integration/test_c2pa.py.
#include <gtest/gtest.h>

#include "C2pa/C2paManifest.h"
#include "C2pa/C2paReader.h"
#include "C2pa/C2paSigner.h"
#include "C2pa/ContentCredentials.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Media/ImageCodec.h"
#include "Platform/Media/Screen.h"
#include "Platform/Process/Environment.h"
#include "TestSupport.h"

using namespace quillbox;
using namespace quillbox::platform;

TEST(C2paScratch, Write) {
  TempDir dir;
  Environment::set("QUILLBOX_HOME", "/tmp/c2pa-scratch-home");
  Image img = renderSyntheticScreen(320, 200, 9, 5, 7);
  auto png = ImageCodec::encodePNG(img);
  ASSERT_TRUE(png);
  std::string out = ContentCredentials::addToCapture(*png, "ScreenShot_20150101_090507.png");
  ASSERT_NE(out.size(), png->size());
  writeFile("/tmp/c2pa-scratch.png", out);
  auto r = C2paReader::read(out, ContentCredentials::trustAnchorsFor("/tmp/x.png"));
  for (auto& d : r.details) std::cerr << d << "\n";
  EXPECT_TRUE(r.valid()) << r.error;
  EXPECT_TRUE(r.trusted);
}
