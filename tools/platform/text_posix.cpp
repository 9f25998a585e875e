// The tools' console on POSIX systems, where terminals show UTF-8 and colours.
#include <unistd.h>

#include "platform/text.h"

namespace kestrel::platform {

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

void UseUtf8Console() {}

}  // namespace kestrel::platform
