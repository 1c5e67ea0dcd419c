#!/usr/bin/env bash
# check_completion.sh SOURCE_DIR
# Drives the bash completion as bash would after a Tab: the options match the
# parser's table, -t offers the transports, and -d, -r and -b offer what the
# store holds, in the default store and in the one named with -i.
set -uo pipefail
src=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/updater-completion-XXXXXX")
trap 'rm -rf "$work"' EXIT
status=0

# A home with a store of two modules (plus entries that are no module), and
# a second store elsewhere.
export HOME="$work/home"
store="$HOME/.tarvelin/updater"
mkdir -p "$store/40F5849A" "$store/0000001F" "$store/2181f0ee" "$store/notes"
touch "$store/40F5849A/1000.bird" "$store/40F5849A/1017.bird" "$store/40F5849A/.settings" "$store/1234ABCD"

# shellcheck source=/dev/null
source "$src/completion/Updater"

# expect "WORDS" "EXPECTED": the line up to the cursor as bash splits it
# (COMP_WORDBREAKS holds '='), then the sorted offers.
expect() {
  local line=$1 want=$2 got
  read -r -a COMP_WORDS <<< "$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _updater
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
  want=$(printf '%s\n' $want | sort | xargs)
  if [ "$got" != "$want" ]; then
    echo "FAIL: [$line] offers [$got], expected [$want]"
    status=1
    return 1
  fi
}

# Every option of the parser's table but -Y (always rejected) and -Z (reserved).
table=$(sed -n 's/^ *{ID_[A-Z_]*, "\(-[^"]*\)", SO_[A-Z_]*},$/\1/p' "$src/app/Options.cpp" | grep -vx -e -Y -e -Z)
expect "Updater -" "$table"
expect "Updater -U -t " "USB TCPIP RECOVER"
expect "Updater -D -t T" "TCPIP"
expect "Updater -U -d " "0000001F 40F5849A ALL"
expect "Updater -U -d 0000001F,4" "0000001F,40F5849A"
expect "Updater -U -d ALL --model TS-Hub" "TS-Hub4 TS-Hub8 TS-Hub2 TS-Hub3C TS-Hub8C"
expect "Updater -U -d 4" "40F5849A"
expect "Updater -U -r =" "0000001F 40F5849A"
expect "Updater -d 0x40f5849a -U -b " "1000 1017"
expect "Updater -d = 40F5849A -U -b = 10" "1000 1017"
expect "Updater -i = $work/lab -D -r " ""
mkdir -p "$work/lab/updater/D272031D"
expect "Updater -i = $work/lab -D -r " "D272031D"
expect "Updater -i '$work/lab' -D -r D" "D272031D"
mkdir -p "$work/images/older"
touch "$work/images/1017.bird" "$work/images/notes.txt"
(cd "$work/images" && expect "Updater -U -d 40F5849A -f " "older 1017.bird") || status=1

[ $status -eq 0 ] && echo "completion: all offers as expected"
exit $status
