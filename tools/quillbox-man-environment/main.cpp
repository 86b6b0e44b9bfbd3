// quillbox-man-environment: the ENVIRONMENT section of a program's manual
// page, made from the settings table (Environment::settings()) as an include
// file of help2man. A build step, never installed.
//   quillbox-man-environment vigild|quillbox|quillbox-weeapp-host
#include <cstdio>
#include <iostream>
#include <string>

#include "Platform/Process/Environment.h"

namespace {

using quillbox::platform::Environment;

// Roff text of a table text: `code` marks become bold, with the minus signs
// of flags and paths as such; a backslash is printed as one.
std::string roff(const std::string& text) {
  std::string out;
  bool code = false;
  for (char c : text) {
    if (c == '`') {
      out += code ? "\\fR" : "\\fB";
      code = !code;
    } else if (c == '\\') {
      out += "\\e";
    } else if (c == '-' && code) {
      out += "\\-";
    } else {
      out += c;
    }
  }
  if (code) out += "\\fR";
  // A line of text may not begin with a control character.
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
  return out;
}

struct Page {
  const char* program;
  unsigned programs;  // the settings it takes as flags (Environment::Program bits)
  const char* lead;
};

const Page kPages[] = {
    {"vigild", Environment::kDaemon,
     "Every setting is an environment variable. Where vigild also takes it as a flag (named "
     "beside it, see OPTIONS), the flag wins for that run."},
    {"quillbox-weeapp-host", Environment::kWidgetHost,
     "Every setting is an environment variable. Where the host also takes it as a flag (named "
     "beside it, see OPTIONS), the flag wins for that run."},
    {"quillbox", 0,
     "The commands read the settings that concern them (the container, the keychain, the "
     "service's certificate authority, the time-stamp authority, the notification folder, "
     "...) from these environment variables; the tool takes none as a flag. vigild(1) and "
     "quillbox-weeapp-host(1) read the same ones."},
};

}  // namespace

int main(int argc, char** argv) {
  const Page* page = nullptr;
  for (const Page& p : kPages)
    if (argc == 2 && argv[1] == std::string(p.program)) page = &p;
  if (!page) {
    std::fprintf(stderr, "usage: quillbox-man-environment vigild|quillbox|quillbox-weeapp-host\n");
    return 2;
  }
  std::cout << "[ENVIRONMENT]\n"
            << page->lead
            << " A section a text names (\"see Screen\") is one of the README "
               "(\\fI/usr/share/doc/quillbox/README.md.gz\\fR from the Debian package).\n";
  for (const Environment::Setting& s : Environment::settings()) {
    // A program's page lists the settings it takes as flags and those no
    // program takes as one; the tool's lists them all.
    const bool flag = page->programs != 0 && (s.programs & page->programs) != 0;
    if (page->programs != 0 && !flag && s.programs != 0) continue;
    std::cout << ".TP\n.B " << s.variable << "\n";
    if (flag) std::cout << "(or " << roff(std::string("`") + s.flag + "`") << ") ";
    std::cout << roff(s.meaning) << ".\nDefault: " << roff(s.byDefault) << ".\n";
  }
  return 0;
}
