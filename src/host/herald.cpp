#include "host/herald.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <iconv.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace Corvus {

namespace {

// Every line of the library fits here: the longest carries one 10240-byte
// request or reply. Longer texts from other callers take the heap.
constexpr std::size_t kLineCapacity = 16 * 1024;

struct Printer {
  std::mutex mutex;
  HeraldSink sink = nullptr;
  void* user = nullptr;
#ifndef _WIN32
  iconv_t to_utf8 = reinterpret_cast<iconv_t>(-1);
  bool iconv_tried = false;
  char converted[kLineCapacity * 2 + 256];  // GBK to UTF-8 grows at most by half
#endif
};

Printer& printer() {
  static Printer* instance = new Printer;  // never destroyed: lines may come during exit
  return *instance;
}

const char* colour_code(HeraldColor colour) {
  switch (colour) {
    case HeraldColor::Red: return "\033[31m";
    case HeraldColor::Yellow: return "\033[33m";
    case HeraldColor::Green: return "\033[32m";
    case HeraldColor::Plain: break;
  }
  return "";
}

void time_stamp(char (&out)[16]) {
#ifdef _WIN32
  SYSTEMTIME now;
  GetLocalTime(&now);
  std::snprintf(out, sizeof out, "%02d:%02d:%02d.%03d", now.wHour, now.wMinute, now.wSecond,
                now.wMilliseconds);
#else
  timeval now{};
  gettimeofday(&now, nullptr);
  std::tm local{};
  time_t seconds = now.tv_sec;
  localtime_r(&seconds, &local);
  std::snprintf(out, sizeof out, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(now.tv_usec / 1000));
#endif
}

#ifndef _WIN32
// Converts GBK `text` for a UTF-8 console into the printer's buffer; a byte
// that is no GBK becomes '?'. Falls back to the raw bytes without iconv.
const char* to_console(Printer& p, const char* text) {
  if (!p.iconv_tried) {
    p.iconv_tried = true;
    p.to_utf8 = iconv_open("UTF-8", "GBK");
  }
  if (p.to_utf8 == reinterpret_cast<iconv_t>(-1)) return text;
  char* in = const_cast<char*>(text);
  std::size_t in_left = std::strlen(text);
  char* out = p.converted;
  std::size_t out_left = sizeof p.converted - 1;
  iconv(p.to_utf8, nullptr, nullptr, nullptr, nullptr);
  while (in_left > 0 && out_left > 0) {
    if (iconv(p.to_utf8, &in, &in_left, &out, &out_left) != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) break;
    *out++ = '?';  // EILSEQ or EINVAL: skip one byte
    --out_left;
    ++in;
    --in_left;
  }
  *out = '\0';
  return p.converted;
}
#endif

void print_to_console(Printer& p, HeraldColor colour, const char* title, const char* text) {
  char stamp[16];
  time_stamp(stamp);
#ifdef _WIN32
  (void)p;
  // The Windows console shows GBK itself under code page 936.
  std::fprintf(stdout, "%s [%s] %s\n", stamp, title, text);
  (void)colour;
#else
  static const bool terminal = isatty(STDOUT_FILENO) != 0;
  char converted_title[256];
  std::snprintf(converted_title, sizeof converted_title, "%s", to_console(p, title));
  const char* line = to_console(p, text);
  // A received line keeps its CR LF in the text; the console shows one line.
  int length = static_cast<int>(std::strlen(line));
  while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == '\n')) --length;
  if (terminal && colour != HeraldColor::Plain) {
    std::fprintf(stdout, "%s [%s] %s%.*s\033[0m\n", stamp, converted_title, colour_code(colour),
                 length, line);
  } else {
    std::fprintf(stdout, "%s [%s] %.*s\n", stamp, converted_title, length, line);
  }
#endif
  std::fflush(stdout);
}

void emit(HeraldColor colour, const char* title, const char* format, va_list args) {
  char line[kLineCapacity];
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(line, sizeof line, format ? format : "", args);
  const char* text = line;
  std::unique_ptr<char[]> long_line;
  if (length < 0) {
    line[0] = '\0';
  } else if (static_cast<std::size_t>(length) >= sizeof line) {
    long_line.reset(new (std::nothrow) char[static_cast<std::size_t>(length) + 1]);
    if (long_line) {
      std::vsnprintf(long_line.get(), static_cast<std::size_t>(length) + 1, format, again);
      text = long_line.get();
    }
  }
  va_end(again);
  if (title == nullptr) title = "";
  Printer& p = printer();
  std::lock_guard<std::mutex> hold(p.mutex);
  if (p.sink != nullptr) {
    p.sink(colour, title, text, p.user);
  } else {
    print_to_console(p, colour, title, text);
  }
}

}  // namespace

void Herald_Set_Sink(HeraldSink sink, void* user) {
  Printer& p = printer();
  std::lock_guard<std::mutex> hold(p.mutex);
  p.sink = sink;
  p.user = user;
}

#define KESTREL_HERALD_BODY(colour)       \
  va_list args;                           \
  va_start(args, format);                 \
  emit(colour, title, format, args);      \
  va_end(args)

void Herald(const char* title, const char* format, ...) { KESTREL_HERALD_BODY(HeraldColor::Plain); }
void Herald_Red(const char* title, const char* format, ...) { KESTREL_HERALD_BODY(HeraldColor::Red); }
void Herald_Yellow(const char* title, const char* format, ...) {
  KESTREL_HERALD_BODY(HeraldColor::Yellow);
}
void Herald_Green(const char* title, const char* format, ...) {
  KESTREL_HERALD_BODY(HeraldColor::Green);
}

}  // namespace Corvus
