#!/usr/bin/env bash
# check_manpages.sh SOURCE_DIR
# Every option the two parsers know has a tagged entry in its manual page, and
# both pages format without a single groff warning.
set -euo pipefail
src=$1
status=0

# The option texts of app/Options.cpp's table ({ID_..., "-X", SO_...}) and the
# names the mirror's parser compares against ("--catalogue" ...).
updater_options=$(sed -n 's/^ *{ID_[A-Z_]*, "\(-[^"]*\)", SO_[A-Z_]*},$/\1/p' "$src/app/Options.cpp")
mirror_options=$(grep -o '"--[a-z][a-z-]*"\|"-h"' "$src/tools/update-server/Options.cpp" | tr -d '"' | sort -u)
[ "$(wc -w <<< "$updater_options")" -ge 29 ] || { echo "read only: $updater_options"; exit 1; }
[ "$(wc -w <<< "$mirror_options")" -ge 7 ] || { echo "read only: $mirror_options"; exit 1; }

# An entry is a .TP paragraph whose tag (the line after .TP) starts with an
# option, such as ".BI \-d " serial"" or ".BR \-h ", " \-H"; examples, whose
# tags start with the program's name, do not count. Options are written with
# roff's escaped hyphens and end at a blank, a quote, a comma or the line's end.
check_page() {
  local page=$1 options=$2 tags option escaped
  tags=$(awk 'tag { print; tag = 0 } /^\.TP/ { tag = 1 }' "$page" | grep -E '^\.B[IR]? \\-' || true)
  for option in $options; do
    escaped=${option//-/\\\\-}
    if ! grep -Eq "(^|[ \"])$escaped([ \",]|$)" <<< "$tags"; then
      echo "FAIL: $(basename "$page") has no entry for $option"
      status=1
    fi
  done
}
check_page "$src/doc/Updater.1" "$updater_options"
check_page "$src/doc/tessaluma-update-server.1" "$mirror_options"

# The pages name the version the package carries, the link core's.
version=$(sed -n 's/^#define aVERSION_\(MAJOR\|MINOR\|PATCH\) \([0-9]*\)$/\2/p' "$src/common/aVersion.h" | paste -sd.)
for page in "$src/doc/Updater.1" "$src/doc/tessaluma-update-server.1"; do
  if ! grep -q "^\.TH .* \"Updater $version\" " "$page"; then
    echo "FAIL: $(basename "$page") does not name version $version in its .TH line"
    status=1
  fi
done

if ! command -v groff > /dev/null; then
  echo "groff is not installed (scripts/setup installs groff-base)"
  exit 77
fi
for page in "$src/doc/Updater.1" "$src/doc/tessaluma-update-server.1"; do
  warnings=$(groff -man -ww -z -Tutf8 "$page" 2>&1)
  if [ -n "$warnings" ]; then
    echo "FAIL: groff warns about $(basename "$page"):"
    echo "$warnings"
    status=1
  fi
done
[ $status -eq 0 ] && echo "manual pages: $(wc -w <<< "$updater_options") + $(wc -w <<< "$mirror_options") options, no warnings"
exit $status
