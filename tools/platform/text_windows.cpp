// The tools' console on Windows: its code page and terminal mode.
#include "host/win32.h"
#include <io.h>

#include <cstdlib>

#include "platform/text.h"

namespace kestrel::platform {

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
