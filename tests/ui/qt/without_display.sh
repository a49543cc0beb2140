#!/bin/sh
# tovrix-update where there is no display: without_display.sh PROGRAM
# Qt's platform is the default (neither X nor Wayland is there), and also
# one named with -platform; then a DISPLAY whose server does not answer.
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
# DISPLAY names a server that is not there (:99, unless a test beside this
# one has an Xvfb there): the same line and status, not Qt's abort.
gone=""
for n in 99 7331 7919 8831; do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { gone=":$n"; break; }
done
for args in "image.hex" "--emulate image.hex" "-platform xcb image.hex"; do
  # shellcheck disable=SC2086
  out=$(DISPLAY=$gone "$program" $args 2>&1)
  status=$?
  [ $status -eq 1 ] && [ "$out" = "$line" ] || fail "DISPLAY=$gone $args: status $status: $out"
done
exit $failed
