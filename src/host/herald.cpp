#include "host/herald.h"

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>

#ifdef _WIN32
#include "host/win32.h"
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
#ifdef _WIN32
  wchar_t wide[8 * 1024];  // one piece of a line, as UTF-16 for the console
#endif
};

Printer& printer() {
  static Printer* instance = new Printer;  // never destroyed: lines may come during exit
  return *instance;
}

#ifndef _WIN32  // ANSI colours of a terminal; the Windows console has its own below
const char* colour_code(HeraldColor colour) {
  switch (colour) {
    case HeraldColor::Red: return "\033[31m";
    case HeraldColor::Yellow: return "\033[33m";
    case HeraldColor::Green: return "\033[32m";
    case HeraldColor::Plain: break;
  }
  return "";
}
#endif

// The bytes of `text` the console shows: a received line keeps its CR LF in
// the text, and the console shows one line.
std::size_t shown_length(const char* text) {
  std::size_t length = std::strlen(text);
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) --length;
  return length;
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

#ifdef _WIN32
// The Windows console. The GBK bytes are turned into UTF-16 (code page 936)
// and written with WriteConsoleW, so that a console shows the Chinese texts
// whatever code page it has, and the code page of the console, which the host
// and its parent share, is left alone. Colours are the console's text
// attribute, set for the text and put back after it. A standard output that
// is no console (a file, a pipe) gets the GBK bytes as they are, which is how
// Windows programs write their ANSI text.
constexpr UINT kGbkCodePage = 936;

// The console that standard output is, or null.
HANDLE stdout_console() {
  const HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (h == nullptr || h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode)) return nullptr;
  return h;
}

WORD console_attribute(HeraldColor colour, WORD normal) {
  const WORD background = normal & (BACKGROUND_RED | BACKGROUND_GREEN | BACKGROUND_BLUE |
                                    BACKGROUND_INTENSITY);
  switch (colour) {
    case HeraldColor::Red: return background | FOREGROUND_RED | FOREGROUND_INTENSITY;
    case HeraldColor::Yellow:
      return background | FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_INTENSITY;
    case HeraldColor::Green: return background | FOREGROUND_GREEN | FOREGROUND_INTENSITY;
    case HeraldColor::Plain: break;
  }
  return normal;
}

// Writes GBK `text` to the console `h`. A GBK character becomes one UTF-16
// unit (code page 936 has nothing beyond the basic plane), so the text needs
// at most as many units as it has bytes; a byte that is no GBK shows as the
// code page's default character.
void write_gbk(HANDLE h, wchar_t* wide, std::size_t wide_capacity, const char* text,
               std::size_t left) {
  // Pieces of at most kPiece bytes, cut only between characters: a lead byte
  // (0x81..0xFE) always takes the byte after it.
  constexpr std::size_t kPiece = 8 * 1024;
  const std::size_t piece_limit = kPiece < wide_capacity ? kPiece : wide_capacity;
  while (left > 0) {
    std::size_t n = 0;
    while (n < left && n < piece_limit) {
      const unsigned char byte = static_cast<unsigned char>(text[n]);
      const std::size_t step = (byte >= 0x81 && byte <= 0xFE && n + 1 < left) ? 2 : 1;
      if (n + step > piece_limit) break;
      n += step;
    }
    const int units = MultiByteToWideChar(kGbkCodePage, 0, text, static_cast<int>(n), wide,
                                          static_cast<int>(wide_capacity));
    DWORD written = 0;
    if (units > 0) WriteConsoleW(h, wide, static_cast<DWORD>(units), &written, nullptr);
    text += n;
    left -= n;
  }
}

void print_to_windows_console(HANDLE h, Printer& p, HeraldColor colour, const char* stamp,
                              const char* title, const char* text) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  const bool coloured =
      colour != HeraldColor::Plain && GetConsoleScreenBufferInfo(h, &info) != 0;
  wchar_t* const wide = p.wide;
  const std::size_t capacity = sizeof p.wide / sizeof p.wide[0];
  char head[128];
  std::snprintf(head, sizeof head, "%s [", stamp);
  write_gbk(h, wide, capacity, head, std::strlen(head));
  write_gbk(h, wide, capacity, title, std::strlen(title));
  write_gbk(h, wide, capacity, "] ", 2);
  if (coloured) SetConsoleTextAttribute(h, console_attribute(colour, info.wAttributes));
  write_gbk(h, wide, capacity, text, shown_length(text));
  if (coloured) SetConsoleTextAttribute(h, info.wAttributes);
  write_gbk(h, wide, capacity, "\n", 1);
}
#endif

void print_to_console(Printer& p, HeraldColor colour, const char* title, const char* text) {
  char stamp[16];
  time_stamp(stamp);
#ifdef _WIN32
  const HANDLE console = stdout_console();
  if (console != nullptr) {
    std::fflush(stdout);  // what the host printed through stdio comes first
    print_to_windows_console(console, p, colour, stamp, title, text);
    return;
  }
  std::fprintf(stdout, "%s [%s] %.*s\n", stamp, title, static_cast<int>(shown_length(text)), text);
#else
  static const bool terminal = isatty(STDOUT_FILENO) != 0;
  char converted_title[256];
  std::snprintf(converted_title, sizeof converted_title, "%s", to_console(p, title));
  const char* line = to_console(p, text);
  const int length = static_cast<int>(shown_length(line));
  if (terminal && colour != HeraldColor::Plain) {
    std::fprintf(stdout, "%s [%s] %s%.*s\033[0m\n", stamp, converted_title, colour_code(colour),
                 length, line);
  } else {
    std::fprintf(stdout, "%s [%s] %.*s\n", stamp, converted_title, length, line);
  }
#endif
  std::fflush(stdout);
}

// The library's own formats hold only %s, %d and %%: such a line is put
// together here, byte for byte what vsnprintf writes, without the stream and
// locale machinery of vsnprintf, which costs more than the rest of a line's
// way to a sink. False, with `out` unspecified, for any other conversion, for
// a null %s (vsnprintf shows "(null)") and for a line that does not fit.
bool format_simple(char* out, std::size_t capacity, const char* format, va_list args) {
  std::size_t n = 0;
  const auto put = [&](const char* piece, std::size_t size) {
    if (size >= capacity - n) return false;
    std::memcpy(out + n, piece, size);
    n += size;
    return true;
  };
  for (const char* f = format;;) {
    const char* percent = std::strchr(f, '%');
    const std::size_t plain = percent ? static_cast<std::size_t>(percent - f) : std::strlen(f);
    if (!put(f, plain)) return false;
    if (percent == nullptr) break;
    switch (percent[1]) {
      case 's': {
        const char* s = va_arg(args, const char*);
        if (s == nullptr || !put(s, std::strlen(s))) return false;
        break;
      }
      case 'd': {
        char digits[16];
        const auto r = std::to_chars(digits, digits + sizeof digits, va_arg(args, int));
        if (!put(digits, static_cast<std::size_t>(r.ptr - digits))) return false;
        break;
      }
      case '%':
        if (!put("%", 1)) return false;
        break;
      default:
        return false;
    }
    f = percent + 2;
  }
  out[n] = '\0';
  return true;
}

void emit(HeraldColor colour, const char* title, const char* format, va_list args) {
  char line[kLineCapacity];
  if (format == nullptr) format = "";
  const char* text = line;
  std::unique_ptr<char[]> long_line;
  va_list simple;
  va_copy(simple, args);
  const bool formatted = format_simple(line, sizeof line, format, simple);
  va_end(simple);
  if (!formatted) {
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(line, sizeof line, format, args);
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
  }
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
