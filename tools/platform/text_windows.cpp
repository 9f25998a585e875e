// The tools' console and command line on Windows: the console's code page
// and terminal mode, the command line's words in UTF-8.
#include "host/win32.h"  // before the other system headers
#include <io.h>
#include <shellapi.h>

#include <cstdlib>
#include <memory>

#include "platform/text.h"

namespace kestrel::platform {

Utf8Args::Utf8Args(int argc, char** argv) {
  int count = 0;
  const std::unique_ptr<LPWSTR, decltype(&::LocalFree)> wide(
      ::CommandLineToArgvW(::GetCommandLineW(), &count), &::LocalFree);
  for (int i = 0; wide && i < count; ++i) {
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide.get()[i], -1, nullptr, 0, nullptr,
                                            nullptr);  // with the terminating zero
    std::string word(static_cast<std::size_t>(bytes > 0 ? bytes : 1), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.get()[i], -1, word.data(), bytes, nullptr, nullptr);
    word.pop_back();
    words_.push_back(std::move(word));
  }
  if (!wide) words_.assign(argv, argv + argc);  // as the system gave them
  for (const std::string& word : words_) pointers_.push_back(word.c_str());
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
