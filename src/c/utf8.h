// GBK (code page 936) to UTF-8 for the C interface's UTF-8 error text: iconv
// on POSIX systems, the code page functions on Windows.
#ifndef KESTREL_C_UTF8_H
#define KESTREL_C_UTF8_H

#include <cstddef>
#include <string>

namespace kestrel::c_api {

// Converts `length` GBK bytes; a byte that starts no GBK character becomes a
// replacement character. Throws std::bad_alloc.
std::string gbk_to_utf8(const char* gbk, std::size_t length);

}  // namespace kestrel::c_api

#endif  // KESTREL_C_UTF8_H
