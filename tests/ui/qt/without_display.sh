#!/bin/sh
# tovrix-update where there is no display: without_display.sh PROGRAM
# Qt's platform is the default (neither X nor Wayland is there), and also
# one named with -platform.
set -u
program=$1
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
failed=0
fail() { echo "$*" >&2; failed=1; }
for option in --help -h --version; do
  out=$("$program" $option 2>&1) || fail "$option: status $?: $out"
  [ -n "$out" ] || fail "$option: nothing printed"
done
line="tovrix-update: no display to open the window on; tovrix-flash updates a unit without one"
for args in "image.hex" "--desktop" "-platform xcb image.hex"; do
  # shellcheck disable=SC2086
  out=$("$program" $args 2>&1)
  status=$?
  [ $status -eq 1 ] && [ "$out" = "$line" ] || fail "$args: status $status: $out"
done
exit $failed
