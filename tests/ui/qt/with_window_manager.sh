#!/bin/sh
# Runs a command on a virtual X display (Xvfb) with a real window manager,
# openbox, that frames its windows: with_window_manager.sh COMMAND [ARGS...]
# The command starts once openbox is up; its status is this script's.
# openbox draws its frames with the theme Clearlooks, named in the file
# $TOVRIX_OPENBOX_RC: the command may name another theme there and run
# "openbox --reconfigure" to change the frames. Status 77 (the test is
# skipped) when Xvfb or openbox is not installed.
set -eu
if ! command -v xvfb-run >/dev/null || ! command -v openbox >/dev/null; then
  echo "needs xvfb-run and openbox" >&2
  exit 77
fi
exec xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
  up=$(mktemp -d)
  export TOVRIX_OPENBOX_RC="$up/rc.xml"
  printf "%s\n" "<openbox_config xmlns=\"http://openbox.org/3.4/rc\">" \
    "<theme><name>Clearlooks</name></theme></openbox_config>" >"$TOVRIX_OPENBOX_RC"
  openbox --sm-disable --config-file "$TOVRIX_OPENBOX_RC" --startup "touch $up/up" \
    >"$up/openbox.log" 2>&1 &
  wm=$!
  i=0
  while [ ! -f "$up/up" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i + 1)); done
  [ -f "$up/up" ] || { cat "$up/openbox.log" >&2; echo "openbox did not start" >&2; exit 1; }
  status=0
  "$@" || status=$?
  kill $wm 2>/dev/null || true
  wait $wm 2>/dev/null || true
  rm -rf "$up"
  exit $status
' sh "$@"
