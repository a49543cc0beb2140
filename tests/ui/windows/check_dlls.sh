#!/bin/sh
# check_dlls.sh OBJDUMP PROGRAM...: each program imports only KnownDLLs,
# the DLLs that Windows maps from the system folder whatever the search
# order, so that no DLL planted beside it or in the folder it starts in is
# loaded as an import (other system DLLs, such as hid.dll and bcrypt.dll,
# are loaded from the system folder at run time); and none from MinGW (C++
# runtime, GCC, threads), so that it runs with nothing installed. Prints
# each program's list.
set -eu
objdump=$1
shift
known="kernel32.dll user32.dll gdi32.dll msvcrt.dll setupapi.dll advapi32.dll"
status=0
for program in "$@"; do
  dlls=$("$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p')
  echo "$(basename "$program"):" $dlls
  [ -n "$dlls" ] || { echo "  no imports found"; status=1; }
  for dll in $dlls; do
    lower=$(echo "$dll" | tr 'A-Z' 'a-z')
    case " $known " in
      *" $lower "*) ;;
      *) echo "  $dll is not one of the KnownDLLs"; status=1 ;;
    esac
  done
done
exit $status
