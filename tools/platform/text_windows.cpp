// The tools' text through the code page functions of the Windows API: GBK is
// code page 936.
#include "host/win32.h"
#include <io.h>

#include <cstdlib>

#include "platform/text.h"

namespace kestrel::platform {

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
std::string GbkToUtf8(std::string_view gbk) {
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

std::optional<std::string> Utf8ToGbk(std::string_view utf8) {
  const std::optional<std::wstring> wide = Widen(CP_UTF8, utf8);
  if (!wide) return std::nullopt;
  return Narrow(kGbk, *wide);
}

bool IsTerminal(std::FILE* stream) {
  const HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
  DWORD mode = 0;
  return h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &mode) != 0;
}

namespace {
UINT saved_code_page = 0;
void RestoreCodePage() { ::SetConsoleOutputCP(saved_code_page); }
}  // namespace

void UseUtf8Console() {
  saved_code_page = ::GetConsoleOutputCP();  // 0 without a console
  if (saved_code_page != 0 && saved_code_page != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8))
    std::atexit(&RestoreCodePage);
  for (const DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE h = ::GetStdHandle(which);
    DWORD mode = 0;
    if (::GetConsoleMode(h, &mode)) ::SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  }
}

}  // namespace kestrel::platform
