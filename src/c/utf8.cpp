#include "c/utf8.h"

#if defined(_WIN32)
#include "host/win32.h"
#else
#include <iconv.h>

#include <cerrno>
#endif

namespace kestrel::c_api {

#if defined(_WIN32)

std::string gbk_to_utf8(const char* gbk, std::size_t length) {
  if (length == 0) return std::string();
  const int in = static_cast<int>(length);
  const int wide_length = MultiByteToWideChar(936, 0, gbk, in, nullptr, 0);
  if (wide_length <= 0) return std::string();
  std::wstring wide(static_cast<std::size_t>(wide_length), L'\0');
  MultiByteToWideChar(936, 0, gbk, in, &wide[0], wide_length);
  const int out_length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, nullptr, 0, nullptr, nullptr);
  if (out_length <= 0) return std::string();
  std::string out(static_cast<std::size_t>(out_length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, &out[0], out_length, nullptr,
                      nullptr);
  return out;
}

#else

std::string gbk_to_utf8(const char* gbk, std::size_t length) {
  std::string out;
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return out;
  char* in = const_cast<char*>(gbk);
  std::size_t in_left = length;
  char buffer[256];
  try {
    while (in_left > 0) {
      char* o = buffer;
      std::size_t o_left = sizeof buffer;
      const std::size_t r = iconv(cd, &in, &in_left, &o, &o_left);
      out.append(buffer, static_cast<std::size_t>(o - buffer));
      if (r != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
      out += "\xEF\xBF\xBD";  // U+FFFD for the byte that does not convert
      ++in;
      --in_left;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  } catch (...) {
    iconv_close(cd);
    throw;
  }
  iconv_close(cd);
  return out;
}

#endif

}  // namespace kestrel::c_api
