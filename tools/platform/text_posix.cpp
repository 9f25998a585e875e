// The tools' text through iconv.
#include <iconv.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/text.h"

namespace kestrel::platform {

namespace {

class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts `text`; a sequence that does not convert is replaced by
  // `replacement` (one input byte skipped) or, without one, ends the
  // conversion with nullopt.
  std::optional<std::string> Run(std::string_view text, const char* replacement) {
    std::string out;
    char* in = const_cast<char*>(text.data());
    std::size_t in_left = text.size();
    char buffer[512];
    while (in_left > 0) {
      char* o = buffer;
      std::size_t o_left = sizeof buffer;
      const std::size_t r = iconv(cd_, &in, &in_left, &o, &o_left);
      out.append(buffer, static_cast<std::size_t>(o - buffer));
      if (r != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
      if (replacement == nullptr) return std::nullopt;
      out += replacement;
      ++in;
      --in_left;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    return out;
  }

 private:
  iconv_t cd_;
};

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::string GbkToUtf8(std::string_view gbk) {
  if (IsAscii(gbk)) return std::string(gbk);
  Converter c("UTF-8", "GBK");
  if (!c.ok()) return std::string(gbk);
  return *c.Run(gbk, "\xEF\xBF\xBD");
}

std::optional<std::string> Utf8ToGbk(std::string_view utf8) {
  if (IsAscii(utf8)) return std::string(utf8);
  Converter c("GBK", "UTF-8");
  if (!c.ok()) return std::nullopt;
  return c.Run(utf8, nullptr);
}

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

void UseUtf8Console() {}

}  // namespace kestrel::platform
