#!/bin/sh
# check_dlls.sh OBJDUMP PROGRAM...: each program imports only DLLs that
# Windows itself ships (no C++ runtime, GCC or threads DLL from MinGW), so
# that it runs with nothing installed. Prints each program's list.
set -eu
objdump=$1
shift
shipped="kernel32.dll user32.dll gdi32.dll msvcrt.dll setupapi.dll hid.dll bcrypt.dll"
status=0
for program in "$@"; do
  dlls=$("$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p')
  echo "$(basename "$program"):" $dlls
  [ -n "$dlls" ] || { echo "  no imports found"; status=1; }
  for dll in $dlls; do
    lower=$(echo "$dll" | tr 'A-Z' 'a-z')
    case " $shipped " in
      *" $lower "*) ;;
      *) echo "  $dll is not a DLL that Windows ships"; status=1 ;;
    esac
  done
done
exit $status
