// What the `kestrel` client shows: results as text or JSON, drawings as SVG,
// and the library's console lines, converted from GBK for a UTF-8 terminal.
#ifndef KESTREL_CLI_OUTPUT_H
#define KESTREL_CLI_OUTPUT_H

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "kestrel/host.h"
#include "kestrel/kestrel.h"
#include "platform/text.h"

namespace kestrel_cli {

// ---- Text encoding --------------------------------------------------------

// The library's and the server's texts are GBK, what a user types and reads
// is UTF-8 (platform/text.h).
using kestrel::platform::GbkToUtf8;
using kestrel::platform::Utf8ToGbk;

// ---- Results ----------------------------------------------------------------

// The outputs of a successful command as lines for a person ("ok" when it has
// none). With `heading` the block starts with the command name (and script
// line) and the outputs are indented.
std::string FormatText(const Result& result, bool heading);

// One JSON object on one line: command, (script) line, ok, outputs, and
// error when the command failed.
std::string FormatJson(const Result& result);

// The catalogue for scripts: one JSON object per command and line, with its
// names, command word, parameters (kind, request field, whether asked),
// outputs, sample reply, example and summary.
std::string CatalogueJson();

// ---- Drawings -----------------------------------------------------------------

// Texts in drawings are laid out by estimate: a character is at most
// kCharWidth of the font size wide (sans-serif Latin letters and digits;
// others a whole font size).
inline constexpr double kCharWidth = 0.65;
std::string Fixed(double v, int decimals);  // "%.*f"
double TextWidth(const std::string& utf8, double font_size);

// A tick step for about six ticks over `span`: 1, 2 or 5 times a power of
// ten, with the decimals it needs for every tick to print differently.
std::pair<double, int> TickStep(double span);

// An SVG of wafer edge points and, when it can be fitted, the circle through
// them, with its centre and radius in the caption.
std::string EdgeSvg(const std::vector<Point>& points);

// The drawing of a successful result: EdgeSvg for edge points, for matches a
// marker at each centre turned by its angle (degrees) and labelled with its
// number, score and angle; nullopt when the result holds neither.
std::optional<std::string> ResultSvg(const Result& result);

// ---- Console lines --------------------------------------------------------------

// Receives the library's console lines for its lifetime: shows them on
// `stream` (UTF-8, ANSI colours when `color`), unless `show` is false, and
// keeps the last red one to explain a failure.
class ConsoleEcho {
 public:
  ConsoleEcho(std::FILE* stream, bool show, bool color);
  ~ConsoleEcho();
  ConsoleEcho(const ConsoleEcho&) = delete;
  ConsoleEcho& operator=(const ConsoleEcho&) = delete;

  // Forgets the last red line (called before each command).
  void Forget() { last_red_.clear(); }
  // The last red line since Forget, in UTF-8, without its title.
  const std::string& last_red() const { return last_red_; }

  // One console line as it is shown: "[title] text", coloured or not.
  static std::string Render(Corvus::HeraldColor color, const char* title, const char* text,
                            bool use_color);

 private:
  static void Receive(Corvus::HeraldColor color, const char* title, const char* text, void* self);
  std::FILE* stream_;
  bool show_;
  bool color_;
  std::string last_red_;
};

}  // namespace kestrel_cli

#endif  // KESTREL_CLI_OUTPUT_H
