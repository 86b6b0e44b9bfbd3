// CommonLib: formatting and naming helpers shared by the API client and the
// upload engine.
//
// Stateless; safe from any thread. Texts are UTF-8.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace quillbox {

// An opaque colour, components in 0..1.
struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;
};

class CommonLib {
 public:
  // Icon resource name of a file name by its (case-insensitive) ending, e.g.
  // "pic_big" for "a.JPG", "other_big" for an unknown ending.
  static std::string getFileImageIcon(const std::string& fileName);
  // "%.2f" + "GB" / "MB" / "KB" / "B".
  static std::string formateFileSize(float bytes);
  // "%.2f" + "G" / "M" / "K" (K also below 1024).
  static std::string formatSpace(float bytes);
  // Milliseconds as "hh时mm分ss秒" (hours and minutes only when not zero).
  static std::string FormateTime(int32_t milliseconds);
  // Six hex digits rrggbb; a shorter or non-hex text reads its bad pairs as 0.
  static Color getColor(const std::string& hex);
  // Decimal seconds since 1970-01-01 UTC (leading number of the text; 0 when none).
  static std::chrono::system_clock::time_point dateFromString(const std::string& seconds);
  // "yyyy-MM-dd" in local time.
  static std::string stringFromDate(std::chrono::system_clock::time_point date);
  // "%@年%@月%@日" of the date of decimal seconds since 1970.
  static std::string FormateDate(const std::string& seconds);
  // Whether a name is usable as a Windows file name (see the pattern in the source).
  static bool isWindwosFileDesignation(const std::string& name);
  // The text with every listed punctuation character removed.
  static std::string isFileDesignation(const std::string& text);
};

}  // namespace quillbox
