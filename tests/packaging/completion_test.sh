#!/bin/bash
# The bash completion of tovrix-flash and tovrix-update, loaded as
# bash-completion loads it when a command is first completed (the file of
# the command's name in a bash-completion/completions folder of
# $XDG_DATA_DIRS), asked for the completions of command lines:
#
#   completion_test.sh COMPLETIONS BINDIR...
#
# COMPLETIONS: the folder of the completion files (packaging/bash-completion,
# or an installed share/bash-completion/completions); BINDIR: the folders
# holding tovrix-flash and tovrix-update. Needs bash-completion.
set -u
completions=$(realpath "$1")
shift
bin=""
for dir in "$@"; do bin=$bin$(realpath "$dir"):; done
library=/usr/share/bash-completion/bash_completion
[ -f "$library" ] || { echo "no $library: install bash-completion"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/share/bash-completion"
ln -s "$completions" "$work/share/bash-completion/completions"
export XDG_DATA_DIRS=$work/share BASH_COMPLETION_USER_DIR=$work/none PATH=$bin$PATH
# shellcheck disable=SC1090
. "$library"

failures=0

# The completions of LINE (the cursor at its end), one a line, sorted. The
# line is cut into words as readline cuts it: at blanks, and the word
# breaks "=" and ":" are words of their own.
complete_line() {
  local line=$1
  COMP_WORDS=()
  local rest=$line current=""
  while [ -n "$rest" ]; do
    local c=${rest:0:1}
    rest=${rest:1}
    case $c in
      " ") [ -n "$current" ] && COMP_WORDS+=("$current"); current="" ;;
      "=" | ":") [ -n "$current" ] && COMP_WORDS+=("$current"); COMP_WORDS+=("$c"); current="" ;;
      *) current+=$c ;;
    esac
  done
  COMP_WORDS+=("$current")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  _completion_loader "${COMP_WORDS[0]}" >/dev/null 2>&1
  local spec fn
  spec=$(complete -p "${COMP_WORDS[0]}" 2>/dev/null) || { echo "(no completion)"; return; }
  fn=$(sed -n 's/.* -F \([^ ]*\) .*/\1/p' <<<"$spec")
  "$fn" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  [ ${#COMPREPLY[@]} -gt 0 ] && printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort
}

# expect LINE WORDS...: LINE completes to exactly WORDS.
expect() {
  local line=$1
  shift
  local want got
  want=$([ $# -gt 0 ] && printf '%s\n' "$@" | LC_ALL=C sort)
  got=$(complete_line "$line")
  if [ "$got" != "$want" ]; then
    echo "FAIL: '$line'"
    echo "  want: $(echo $want)"
    echo "  got:  $(echo $got)"
    failures=$((failures + 1))
  fi
}

# Field FIELD of the lines of tovrix-flash ARGS... --list that name a port.
listed() {
  local field=$1
  shift
  tovrix-flash "$@" --list 2>/dev/null | awk -v field="$field" '$2 == "port" && $field != "-" { print $field }'
}

# A folder with images and other files, for the image's completions.
mkdir -p "$work/images/firmware"
touch "$work/images/unit.hex" "$work/images/OLD.HEX" "$work/images/notes.txt"
cd "$work/images" || exit 1

# shellcheck disable=SC2046
{
  # Options.
  expect "tovrix-flash --po" --port
  expect "tovrix-flash --emu" --emulate --emulate=fast
  expect "tovrix-flash --wa" --wait --wait=
  expect "tovrix-update --de" --desktop
  # Values after "=".
  expect "tovrix-flash --emulate=" fast
  expect "tovrix-flash --emulate=f" fast
  expect "tovrix-flash --wait=" 10 30 60 300
  expect "tovrix-flash --wait=3" 30 300
  # The interfaces and ports --list shows: this machine's, and the emulated
  # unit's with the options that set it up.
  expect "tovrix-flash --port " $(listed 3)
  expect "tovrix-flash --device " $(listed 1)
  expect "tovrix-flash --emulate=fast --port " emu-1
  expect "tovrix-flash --emulate --device " emu:0
  expect "tovrix-flash --emulate --device emu:" 0
  expect "tovrix-flash --emulate --before 46D:C52B:1201,46D:C52B:1202 --device " \
    $(listed 1 --emulate --before 46D:C52B:1201,46D:C52B:1202)
  expect "tovrix-flash --emulate --before 46D:C52B:1201 --no-unit --port " \
    $(listed 3 --emulate --before 46D:C52B:1201 --no-unit)
  # Options of the image's checks before them are no part of the unit.
  expect "tovrix-flash --key unit.pub --sha256 00 --signature s --emulate=fast --port " emu-1
  # Values of the user's.
  expect "tovrix-flash --memory "
  expect "tovrix-flash --units "
  # The image: Intel HEX files and folders, also after an option that
  # takes its value only after "=".
  expect "tovrix-flash " OLD.HEX firmware unit.hex
  expect "tovrix-flash --wait u" unit.hex
  expect "tovrix-flash --emulate " OLD.HEX firmware unit.hex
  expect "tovrix-update " OLD.HEX firmware unit.hex
  expect "tovrix-update --desktop O" OLD.HEX
}

# Every option that --help names is offered.
for program in tovrix-flash tovrix-update; do
  command -v "$program" >/dev/null || continue
  for option in $("$program" --help | grep -o -- ' --\?[a-z][a-z0-9-]*' | sort -u); do
    complete_line "$program $option" | grep -qx -- "$option" ||
      { echo "FAIL: $program does not offer $option"; failures=$((failures + 1)); }
  done
done

[ $failures -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "all passed"
