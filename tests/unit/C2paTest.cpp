// Content credentials: our own reader's checks (the C2PA project's reader
// checks real captures in tests/integration/test_c2pa.py), the pixels through
// libpng, and the signing identities with the openssl command as the peer.
#include <gtest/gtest.h>

#include <filesystem>

#include "C2pa/C2paManifest.h"
#include "C2pa/C2paReader.h"
#include "C2pa/C2paSigner.h"
#include "C2pa/CborValue.h"
#include "C2pa/PngChunks.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Media/ImageCodec.h"
#include "Platform/Media/Screen.h"
#include "Platform/Process/Environment.h"
#include "TestSupport.h"

using namespace quillbox;
using namespace quillbox::platform;
namespace fs = std::filesystem;

namespace {

std::string read(const std::string& path) {
  return FileSystem::Default().readFile(path).value_or("");
}

std::string run(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen((cmd + " 2>&1").c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    if (pclose(p) != 0) out += "\nEXIT FAILED";
  }
  return out;
}

C2paManifest::Capture capture() {
  return {"ScreenShot_20150101_090507.png",
          "2015-01-01T09:05:07.000Z",
          "quillbox",
          "1.0",
          "quillbox vigild",
          "1.0"};
}

// `png` with the byte after `find` in its caBX chunk (or in the middle of IDAT) changed.
std::string changed(std::string png, const std::string& type, const std::string& find = "") {
  const auto chunks = PngChunks::list(png);
  for (const auto& c : *chunks) {
    if (c.type != type) continue;
    size_t at =
        find.empty() ? c.offset + 8 + c.length / 2 : png.find(find, c.offset) + find.size() + 2;
    png[at] = static_cast<char>(png[at] ^ 1);
    return png;
  }
  return png;
}

bool has(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

}  // namespace

TEST(C2paTest, TheReaderFindsWhatChanged) {
  TempDir dir;
  auto signer = C2paSigner::loadOrCreate(dir.path());
  ASSERT_TRUE(signer);
  auto png = ImageCodec::encodePNG(renderSyntheticScreen(64, 40, 9, 5, 7));
  std::string error;
  auto made = C2paManifest::embed(*png, capture(), *signer, {}, 0, &error);
  ASSERT_TRUE(made) << error;
  const std::vector<std::string> anchors = {signer->rootPem()};
  struct Case {
    const char* what;
    std::string file;
    std::vector<std::string> anchors;
    const char* failure;  // "" when none
    const char* changed;
  };
  const Case cases[] = {
      {"as made, trusted", made->png, anchors, "", ""},
      {"as made, no anchor", made->png, {}, "", ""},
      {"an image byte", changed(made->png, "IDAT"), anchors, "assertion.dataHash.mismatch",
       "the image data"},
      {"the claim's title", changed(made->png, "caBX", "dc:title"), anchors,
       "claimSignature.mismatch", "the claim or its signature"},
      {"the action's source type", changed(made->png, "caBX", "digitalSourceType"), anchors,
       "assertion.hashedURI.mismatch", "the assertion c2pa.actions.v2"},
      {"the exclusion's length", changed(made->png, "caBX", "length"), anchors,
       "assertion.hashedURI.mismatch", "the assertion c2pa.hash.data"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    C2paReader::Report r = C2paReader::read(c.file, c.anchors);
    ASSERT_TRUE(r.present);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.trusted, !c.anchors.empty());
    EXPECT_EQ(has(r.warnings, "signingCredential.untrusted"), c.anchors.empty());
    if (*c.failure) {
      EXPECT_TRUE(has(r.failures, c.failure));
      EXPECT_TRUE(has(r.changed, c.changed));
    } else {
      EXPECT_TRUE(r.valid());
      EXPECT_EQ(r.changed, std::vector<std::string>{});
      // What it says is read only from assertions whose hashes hold.
      EXPECT_EQ(r.action, "c2pa.created");
      EXPECT_EQ(r.digitalSourceType, C2paManifest::kScreenCapture);
      EXPECT_EQ(r.when, "2015-01-01T09:05:07.000Z");
      EXPECT_EQ(r.softwareAgent, "quillbox vigild 1.0");
      EXPECT_EQ(r.claimGenerator, "quillbox 1.0");
    }
  }
  // Without credentials, or with a cut-off chunk: a report, never a crash.
  EXPECT_FALSE(C2paReader::read(*png, anchors).present);
  std::string cut = made->png;
  cut[33 + 3] = static_cast<char>(cut[33 + 3] - 40);  // the caBX chunk's length
  EXPECT_NE(C2paReader::read(cut, anchors).error, "");
}

TEST(C2paTest, TheManifestLeavesThePixelsAndTheOtherBytesAlone) {
  TempDir dir;
  auto signer = C2paSigner::loadOrCreate(dir.path());
  ASSERT_TRUE(signer);
  Image screen = renderSyntheticScreen(320, 200, 9, 5, 7);
  auto png = ImageCodec::encodePNG(screen);
  std::string error;
  auto made = C2paManifest::embed(*png, capture(), *signer, {}, 0, &error);
  ASSERT_TRUE(made) << error;
  auto chunks = PngChunks::list(made->png);
  ASSERT_TRUE(chunks);
  EXPECT_EQ((*chunks)[1].type, "caBX");  // right after IHDR, before the image data
  std::string without = made->png;
  without.erase((*chunks)[1].offset, (*chunks)[1].size());
  EXPECT_EQ(without, *png);
  auto decoded = ImageCodec::decodePNG(made->png);  // libpng
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->rgba, ImageCodec::decodePNG(*png)->rgba);
  EXPECT_FALSE(C2paManifest::embed(made->png, capture(), *signer, {}, 0, &error));
  EXPECT_FALSE(C2paManifest::embed("not a png", capture(), *signer, {}, 0, &error));
}

TEST(C2paTest, TheInstallsCertificatesAreWhatC2paAsksFor) {
  if (run("openssl version").find("EXIT FAILED") != std::string::npos)
    PREREQUISITE_MISSING("the openssl command");
  TempDir dir;
  auto signer = C2paSigner::loadOrCreate(dir.path());
  ASSERT_TRUE(signer);
  const std::string root = dir.file(C2paSigner::kRootCertFile);
  const std::string cert = dir.file(C2paSigner::kSignerCertFile);
  for (const char* key : {C2paSigner::kRootKeyFile, C2paSigner::kSignerKeyFile}) {
    EXPECT_EQ(fs::status(dir.file(key)).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
  }
  EXPECT_EQ(run("openssl verify -CAfile " + root + " " + cert), cert + ": OK\n");
  const std::string ext = run("openssl x509 -noout -in " + cert +
                              " -ext keyUsage,extendedKeyUsage,basicConstraints,"
                              "authorityKeyIdentifier -subject -issuer");
  for (const char* want :
       {"X509v3 Key Usage: critical", "Digital Signature", "1.3.6.1.4.1.62558.2.1",
        "1.3.6.1.5.5.7.3.36", "CA:FALSE", "Authority Key Identifier",
        "CN = quillbox capture signer", "CN = quillbox local content credentials root"}) {
    EXPECT_NE(ext.find(want), std::string::npos) << want << " in\n" << ext;
  }
  EXPECT_EQ(signer->chain().size(), 1u);  // the root is the verifier's to bring
  EXPECT_EQ(signer->rootPem(), read(root));

  // Loaded again: the same certificate; a damaged one is issued again by the same root.
  const std::string issued = read(cert);
  ASSERT_TRUE(C2paSigner::loadOrCreate(dir.path()));
  EXPECT_EQ(read(cert), issued);
  writeFile(cert, "-----BEGIN CERTIFICATE-----\ndamaged\n");
  ASSERT_TRUE(C2paSigner::loadOrCreate(dir.path()));
  EXPECT_NE(read(cert), issued);
  EXPECT_EQ(run("openssl verify -CAfile " + root + " " + cert), cert + ": OK\n");
}

TEST(C2paTest, ACertificateFromAnotherAuthoritySigns) {
  if (run("openssl version").find("EXIT FAILED") != std::string::npos)
    PREREQUISITE_MISSING("the openssl command");
  TempDir dir;
  const std::string d = dir.path();
  writeFile(dir.file("ext.cnf"),
            "[ca]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n"
            "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid:always\n"
            "[leaf]\nbasicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
            "extendedKeyUsage=emailProtection\nauthorityKeyIdentifier=keyid:always\n");
  // (key type, signature algorithm of COSE)
  const std::pair<std::string, int64_t> keys[] = {
      {"-newkey ec -pkeyopt ec_paramgen_curve:P-384", -35}, {"-newkey ed25519", -8}};
  int n = 0;
  for (const auto& [keyType, alg] : keys) {
    SCOPED_TRACE(keyType);
    const std::string chain = "chain" + std::to_string(++n) + ".pem";
    const std::string out =
        run("cd " + d + " && openssl req -x509 " + keyType +
            " -nodes -keyout root.key -out root.pem -subj /CN=Root -days 2 -addext "
            "basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign"
            " && openssl req " +
            keyType +
            " -nodes -keyout mid.key -out mid.csr -subj /CN=Mid"
            " && openssl x509 -req -in mid.csr -CA root.pem -CAkey root.key -out mid.pem -days 2"
            " -extfile ext.cnf -extensions ca"
            " && openssl req " +
            keyType +
            " -nodes -keyout leaf.key -out leaf.csr -subj /CN=Leaf"
            " && openssl x509 -req -in leaf.csr -CA mid.pem -CAkey mid.key -out leaf.pem -days 2"
            " -extfile ext.cnf -extensions leaf && cat leaf.pem mid.pem root.pem > " +
            chain);
    ASSERT_EQ(out.find("EXIT FAILED"), std::string::npos) << out;
    std::shared_ptr<const C2paSigner> signer;
    {
      ScopedSettings settings;
      settings.set("QUILLBOX_C2PA_CERT", dir.file(chain));
      settings.set("QUILLBOX_C2PA_KEY", dir.file("leaf.key"));
      signer = C2paSigner::shared();
    }
    ASSERT_TRUE(signer);
    EXPECT_EQ(signer->algorithm(), alg);
    EXPECT_EQ(signer->chain().size(), 2u);  // leaf and intermediate, not the root
    EXPECT_EQ(signer->rootPem(), read(dir.file("root.pem")));
    auto png = ImageCodec::encodePNG(renderSyntheticScreen(32, 20, 1, 2, 3));
    std::string error;
    auto made = C2paManifest::embed(*png, capture(), *signer, {}, 0, &error);
    ASSERT_TRUE(made) << error;
    C2paReader::Report r = C2paReader::read(made->png, {read(dir.file("root.pem"))});
    EXPECT_TRUE(r.valid());
    EXPECT_TRUE(r.trusted);
    EXPECT_EQ(r.signer, "CN = Leaf");
  }
}

TEST(C2paTest, CborIsWrittenDeterministicallyAndReadSafely) {
  // Keys sorted by their encoded bytes: shorter first, then bytewise.
  CborValue m = CborValue::map({{CborValue::text("signature"), CborValue::integer(-7)},
                                {CborValue::text("alg"), CborValue::unsignedInteger(500)},
                                {CborValue::integer(33), CborValue::bytes("x")}});
  EXPECT_EQ(m.encode(), std::string("\xa3\x18\x21\x41x\x63"
                                    "alg\x19\x01\xf4\x69signature\x26",
                                    23));
  auto back = CborValue::decode(m.encode());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->find("alg")->asInteger(), 500);
  EXPECT_EQ(back->find(33)->string(), "x");
  for (std::string bad :
       {std::string("\x9f\x01\xff"), std::string("\x5a\xff\xff\xff\xff"), std::string("\x82\x01"),
        std::string("\x01\x02"), std::string(40, '\x81') + "\x01"}) {
    EXPECT_FALSE(CborValue::decode(bad)) << bad.size();
  }
}
