// The tools' text on the console: the library and the server speak GBK, a
// person reads UTF-8. Converted by iconv on POSIX systems and by the code
// page functions of the Windows API on Windows.
#ifndef KESTREL_PLATFORM_TEXT_H
#define KESTREL_PLATFORM_TEXT_H

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/gbk.h"

namespace kestrel::platform {

// GBK and UTF-8, converted as the library's C interface converts them.
inline std::string GbkToUtf8(std::string_view gbk) { return Corvus::gbk::ToUtf8(gbk); }
inline std::optional<std::string> Utf8ToGbk(std::string_view utf8) {
  return Corvus::gbk::FromUtf8(utf8);
}

// The words of the program's command line in UTF-8, for a parser that takes
// argc and argv. POSIX systems pass them as typed, UTF-8; Windows passes
// argv in the ANSI code page, which lacks most characters (a Chinese
// system's is GBK itself), so there they come from the wide command line.
class Utf8Args {
 public:
  Utf8Args(int argc, char** argv);
  Utf8Args(const Utf8Args&) = delete;  // argv points into the words
  Utf8Args& operator=(const Utf8Args&) = delete;
  int argc() const { return static_cast<int>(pointers_.size()); }
  const char* const* argv() const { return pointers_.data(); }

 private:
  std::vector<std::string> words_;
  std::vector<const char*> pointers_;
};

// True when `stream` is a terminal (a console on Windows).
bool IsTerminal(std::FILE* stream);
// Makes the console show the UTF-8 text and ANSI colours that the tools
// write (Windows: the console's output code page and its terminal mode, put
// back at exit; nothing elsewhere, where terminals do both).
void UseUtf8Console();

}  // namespace kestrel::platform

#endif  // KESTREL_PLATFORM_TEXT_H
