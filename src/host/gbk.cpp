#include "host/gbk.h"

#if defined(_WIN32)
#include "host/win32.h"
#else
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#endif

namespace Corvus::gbk {

#if defined(_WIN32)

namespace {

constexpr UINT kGbk = 936;

// `text` in code page `from` as UTF-16; nullopt when a byte sequence does
// not belong to it.
std::optional<std::wstring> Widen(UINT from, std::string_view text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int units = ::MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (units <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(units), L'\0');
  ::MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), units);
  return wide;
}

// UTF-16 `wide` in code page `to`; nullopt when a character has no exact
// counterpart there.
std::optional<std::string> Narrow(UINT to, std::wstring_view wide) {
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  const bool utf8 = to == CP_UTF8;
  BOOL lossy = FALSE;
  BOOL* const used_default = utf8 ? nullptr : &lossy;  // UTF-8 takes neither
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int bytes =
      ::WideCharToMultiByte(to, flags, wide.data(), size, nullptr, 0, nullptr, used_default);
  if (bytes <= 0 || lossy) return std::nullopt;
  std::string out(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(to, flags, wide.data(), size, out.data(), bytes, nullptr, nullptr);
  return out;
}

}  // namespace

// A text converts at once; one that holds a byte that is no GBK (0x80 and
// 0xFF are none, though code page 936 gives them characters) is taken one
// character at a time (a lead byte 0x81..0xFE and the byte after it, or one
// byte), each that does not convert becoming U+FFFD.
std::string ToUtf8(std::string_view gbk) {
  if (gbk.find_first_of("\x80\xFF") == std::string_view::npos) {
    if (auto wide = Widen(kGbk, gbk)) return *Narrow(CP_UTF8, *wide);
  }
  std::string out;
  for (std::size_t at = 0; at < gbk.size();) {
    const unsigned char byte = static_cast<unsigned char>(gbk[at]);
    const std::size_t length = byte >= 0x81 && byte <= 0xFE && at + 1 < gbk.size() ? 2 : 1;
    const std::optional<std::wstring> one =
        byte == 0x80 || byte == 0xFF ? std::nullopt : Widen(kGbk, gbk.substr(at, length));
    if (one) {
      out += *Narrow(CP_UTF8, *one);
      at += length;
    } else {
      out += "\xEF\xBF\xBD";
      at += 1;
    }
  }
  return out;
}

std::optional<std::string> FromUtf8(std::string_view utf8) {
  const std::optional<std::wstring> wide = Widen(CP_UTF8, utf8);
  if (!wide) return std::nullopt;
  return Narrow(kGbk, *wide);
}

#else  // POSIX

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

std::string ToUtf8(std::string_view gbk) {
  if (IsAscii(gbk)) return std::string(gbk);
  Converter c("UTF-8", "GBK");
  if (!c.ok()) return std::string(gbk);
  return *c.Run(gbk, "\xEF\xBF\xBD");
}

std::optional<std::string> FromUtf8(std::string_view utf8) {
  if (IsAscii(utf8)) return std::string(utf8);
  Converter c("GBK", "UTF-8");
  if (!c.ok()) return std::nullopt;
  return c.Run(utf8, nullptr);
}

#endif

}  // namespace Corvus::gbk
