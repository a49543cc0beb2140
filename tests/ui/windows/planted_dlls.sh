#!/bin/sh
# planted_dlls.sh WINE_RUN DIR FLASH UPDATE DRIVER PROBE HID_DLL BCRYPT_DLL IMAGE
#
# DLLs named as those the programs use and that are not KnownDLLs
# (hid.dll, bcrypt.dll), each leaving a mark (NAME.loaded) when it is
# loaded, put beside copies of tovrix-flash.exe and tovrix-update.exe in
# DIR, which is also the folder they start in; Wine searches as Windows
# does, the program's folder first (native DLLs before its own). The
# programs must work as ever, and no mark may appear. The probe, which
# loads the planted DLLs by name with nothing to guard it, must leave
# their marks: so the marks and the order are seen to work.
set -eu
wine_run=$1 dir=$2 flash=$3 update=$4 driver=$5 probe=$6 hid=$7 bcrypt=$8 image=$9

rm -rf "$dir"
mkdir -p "$dir"
cp "$flash" "$update" "$probe" "$dir/"
cp "$hid" "$dir/hid.dll"
cp "$bcrypt" "$dir/bcrypt.dll"
cp "$image" "$dir/TOVRIXPRO.HEX"
cd "$dir"
export WINEDLLOVERRIDES="hid,bcrypt=n,b"
status=0
fail() { echo "FAIL: $*"; status=1; }
# Fails when a mark is there, and takes it away for the next run.
no_marks() {
  for mark in hid.dll.loaded bcrypt.dll.loaded; do
    if [ -e "$mark" ]; then
      fail "$1 loaded the planted ${mark%.loaded}"
      rm -f "$mark"
    fi
  done
}

# The list of this machine's HID interfaces (Wine's own), through hid.dll.
if "$wine_run" "$dir/tovrix-flash.exe" --list >list.out 2>list.err; then
  grep -q . list.out || fail "tovrix-flash.exe --list listed nothing: $(cat list.err)"
else
  fail "tovrix-flash.exe --list ended with status $?: $(cat list.err)"
fi
no_marks "tovrix-flash.exe --list"

# An emulated update of the image in the current folder, whose SHA-256
# (bcrypt.dll) must be the image's.
digest=$(sha256sum TOVRIXPRO.HEX | cut -d' ' -f1)
if "$wine_run" "$dir/tovrix-flash.exe" --emulate=fast --json >update.out 2>update.err; then
  grep -q "\"sha256\":\"$digest\"" update.out || fail "tovrix-flash.exe --emulate: no SHA-256 $digest"
  grep -q '"event":"done","status":0,' update.out || fail "tovrix-flash.exe --emulate: not done"
else
  fail "tovrix-flash.exe --emulate=fast ended with status $?: $(cat update.err)"
fi
no_marks "tovrix-flash.exe --emulate=fast"

# The window's search without a unit, through hid.dll, driven from outside.
if ! "$wine_run" "$driver" --program "$dir/tovrix-update.exe" \
    --gtest_filter='NotFoundRun.TheLogHoldsTheSearchLineAndTheNotFoundBlockExactly' >window.out 2>&1; then
  fail "tovrix-update.exe's search: $(tail -20 window.out)"
fi
no_marks "tovrix-update.exe"

# Unguarded, the same search order finds them.
"$wine_run" "$dir/planted_probe.exe" hid.dll bcrypt.dll || fail "the probe could not load the planted DLLs"
for mark in hid.dll.loaded bcrypt.dll.loaded; do
  [ -e "$mark" ] || fail "the probe loaded ${mark%.loaded}, but not the planted one"
done

[ $status -ne 0 ] || echo "No planted DLL was loaded; the programs worked beside them."
exit $status
