// GBK (code page 936), the text of the server, the library's console lines
// and error texts, and UTF-8, what a person reads and types: iconv on POSIX
// systems, the code page functions of the Windows API on Windows. Shared by
// the library's C interface and the tools. Internal.
#ifndef KESTREL_HOST_GBK_H
#define KESTREL_HOST_GBK_H

#include <optional>
#include <string>
#include <string_view>

namespace Corvus::gbk {

// Converts GBK bytes into UTF-8; each byte that starts no GBK character
// becomes U+FFFD.
std::string ToUtf8(std::string_view gbk);
// Converts UTF-8 text into GBK; nullopt when the text is no valid UTF-8 or
// holds a character that GBK lacks.
std::optional<std::string> FromUtf8(std::string_view utf8);

}  // namespace Corvus::gbk

#endif  // KESTREL_HOST_GBK_H
