// The table of console and error texts holds GBK bytes that read as written.
#include "core/texts.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <cstring>
#include <string>

namespace {

#ifdef _WIN32
// Code page 936 to UTF-16 to UTF-8; a byte sequence that is no GBK fails.
std::string ToUtf8(const char* gbk) {
  const int size = static_cast<int>(std::strlen(gbk));
  if (size == 0) return std::string();
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  const int units = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, gbk, size, wide.data(), size);
  EXPECT_GT(units, 0) << "not GBK: " << gbk;
  if (units <= 0) return std::string();
  std::string out(static_cast<std::size_t>(units) * 3, '\0');
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, out.data(),
                                        static_cast<int>(out.size()), nullptr, nullptr);
  out.resize(bytes > 0 ? static_cast<std::size_t>(bytes) : 0);
  return out;
}
#else
std::string ToUtf8(const char* gbk) {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string out(std::strlen(gbk) * 2 + 1, '\0');
  char* in = const_cast<char*>(gbk);
  std::size_t in_left = std::strlen(gbk);
  char* o = out.data();
  std::size_t out_left = out.size();
  const std::size_t r = iconv(cd, &in, &in_left, &o, &out_left);
  iconv_close(cd);
  EXPECT_NE(r, static_cast<std::size_t>(-1)) << "not GBK: " << gbk;
  out.resize(out.size() - out_left);
  return out;
}
#endif

TEST(Texts, EveryEntryIsGbkOfItsReadableText) {
  for (const auto& entry : kestrel::text::kTable) {
    EXPECT_EQ(ToUtf8(entry.gbk), entry.readable) << entry.name;
  }
}

}  // namespace
