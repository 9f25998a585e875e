#!/usr/bin/env bash
# Every operation of the class has its C function: each Kestrel_* member
# declared in kestrel.h is called (or passed on) by some function of the C interface (the
# error text's two are read through the record instead), every command of
# the tools' catalogue (`kestrel help --json`) has kestrel_<its Python name>,
# and every function that kestrel_c.h declares is defined in the C
# interface's source.
#   every_operation.sh SOURCE_DIR [KESTREL_CLI]
set -euo pipefail
src=$1
class_ops=$(grep -o 'Kestrel_[A-Za-z_]*(' "$src/include/kestrel/kestrel.h" | tr -d '(' | sort -u)
wrapped=$(grep -oE '(cpp\.|&Kestrel::)Kestrel_[A-Za-z_]*' "$src/src/c/kestrel_c.cpp" |
  sed 's/^.*Kestrel_/Kestrel_/' | sort -u)
missing=$(comm -23 <(echo "$class_ops") <(echo "$wrapped") |
  grep -v -x -e Kestrel_GetErrorString -e Kestrel_ClearErrorString || true)
declared=$(grep -o 'kestrel_[a-z0-9_]*(' "$src/include/kestrel/kestrel_c.h" | tr -d '(' | sort -u)
defined=$(grep -E '^[a-z_ *]*[ *]kestrel_[a-z0-9_]*\(' "$src/src/c/kestrel_c.cpp" |
  grep -o 'kestrel_[a-z0-9_]*(' | tr -d '(' | sort -u)
undefined=$(comm -23 <(echo "$declared") <(echo "$defined"))
if [ -n "${2:-}" ]; then
  catalogued=$("$2" help --json | sed -n 's/.*"python":"\([a-z0-9_]*\)".*/kestrel_\1/p' | sort -u)
  [ "$(echo "$catalogued" | wc -l)" -eq 32 ] || { echo "the catalogue names no 32 commands"; exit 1; }
  missing="$missing$(comm -23 <(echo "$catalogued") <(echo "$declared"))"
fi
status=0
[ -z "$missing" ] || { echo "operations of the class without a C function:"; echo "$missing"; status=1; }
[ -z "$undefined" ] || { echo "declared in kestrel_c.h, not defined:"; echo "$undefined"; status=1; }
echo "$(echo "$class_ops" | wc -l) operations of the class, $(echo "$declared" | wc -l) C functions"
if [ "$status" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit "$status"
