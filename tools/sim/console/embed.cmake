# Writes the console's files into a C++ header as byte arrays, so that the
# simulator serves its page with nothing beside the binary.
#   cmake -DOUT=console_assets.h "-DFILES=a.html|b.css|c.js" -P embed.cmake
# index.html is served at "/", every other file at "/NAME".
string(REPLACE "|" ";" FILES "${FILES}")
set(_body "")
set(_table "")
set(_n 0)
foreach(_file IN LISTS FILES)
  get_filename_component(_name ${_file} NAME)
  get_filename_component(_ext ${_file} LAST_EXT)
  if(_ext STREQUAL ".html")
    set(_type "text/html; charset=utf-8")
  elseif(_ext STREQUAL ".css")
    set(_type "text/css; charset=utf-8")
  elseif(_ext STREQUAL ".js")
    set(_type "text/javascript; charset=utf-8")
  else()
    message(FATAL_ERROR "no content type for ${_name}")
  endif()
  set(_path "/${_name}")
  if(_name STREQUAL "index.html")
    set(_path "/")
  endif()
  file(READ ${_file} _hex HEX)
  string(LENGTH "${_hex}" _len)
  math(EXPR _size "${_len} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," _bytes "${_hex}")
  string(APPEND _body "inline constexpr char kAsset${_n}[${_size}] = {${_bytes}};\n")
  string(APPEND _table "    {\"${_path}\", \"${_type}\", {kAsset${_n}, ${_size}}},\n")
  math(EXPR _n "${_n} + 1")
endforeach()
file(WRITE ${OUT}.tmp "// Generated from tools/sim/console/ by embed.cmake: do not edit.
#ifndef KESTREL_SIM_CONSOLE_ASSETS_H
#define KESTREL_SIM_CONSOLE_ASSETS_H
#include <string_view>
namespace kestrel::sim::console {
${_body}
struct Asset {
  const char* path;
  const char* type;
  std::string_view body;
};
inline constexpr Asset kAssets[] = {
${_table}};
}  // namespace kestrel::sim::console
#endif
")
# Rewritten only when changed: control.cpp is then rebuilt only when it must be.
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
