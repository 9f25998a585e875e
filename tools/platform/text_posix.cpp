// The tools' console and command line on POSIX systems, where terminals
// show UTF-8 and colours and the command line is UTF-8 already.
#include <unistd.h>

#include "platform/text.h"

namespace kestrel::platform {

Utf8Args::Utf8Args(int argc, char** argv) : words_(argv, argv + argc) {
  for (const std::string& word : words_) pointers_.push_back(word.c_str());
}

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

void UseUtf8Console() {}

}  // namespace kestrel::platform
