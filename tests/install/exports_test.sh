#!/usr/bin/env bash
# The shared library exports the public API and nothing of its insides: no symbol of a namespace
# nested in tarn (the ODBC handles, pass-through layer, envelope, code page, mark scans, text
# comparison), of an anonymous namespace, of the session class, or of an internal rs routine.
set -euo pipefail
library=$1
# tarn::typelib is public: the late-bound dispatch API. Its names are checked as tarn's own.
symbols=$(nm -D --defined-only -C "$library" | sed 's/tarn::typelib::/tarn::/g')
public=$(grep -c 'tarn::' <<<"$symbols" || true)
if [[ $public -eq 0 ]]; then
  echo "no tarn symbol exported at all: is $library the class library?" >&2
  exit 1
fi
leaked=$(grep -E 'tarn::([a-z_]+|\(anonymous namespace\))::|tarn::clsTarnODBC|tarn::rs[A-Z]|tarn::withHandler' \
  <<<"$symbols" || true)
if [[ -n $leaked ]]; then
  echo "internal symbols exported from $library:" >&2
  echo "$leaked" >&2
  exit 1
fi
echo "$public public symbols, no internal ones"
