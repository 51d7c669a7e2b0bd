#!/usr/bin/env bash
# wine-session.sh ensure|stop DIR: one Wine session for the end-to-end tests,
# DIR/prefix, an X server of its own (DIR/display, DIR/xvfb.pid) and a running
# wineserver. `ensure` is idempotent; `stop` ends what it started.
set -euo pipefail
dir=$2
mkdir -p "$dir"
export WINEPREFIX=$dir/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
quiet() { "$@" </dev/null >/dev/null 2>&1; }
if [[ $1 == stop ]]; then
  wineserver -k 2>/dev/null || true
  [[ ! -s $dir/xvfb.pid ]] || { kill "$(cat "$dir/xvfb.pid")" 2>/dev/null || true; rm -f "$dir/xvfb.pid" "$dir/display"; }
  exit 0
fi
[[ $1 == ensure ]] || { echo "usage: $0 ensure|stop DIR" >&2; exit 2; }
if ! [[ -s $dir/xvfb.pid && -s $dir/display ]] || ! kill -0 "$(cat "$dir/xvfb.pid")" 2>/dev/null; then
  rm -f "$dir/display"
  # -displayfd: the server picks a free display and writes its number.
  setsid Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dir/display" </dev/null >"$dir/xvfb.log" 2>&1 &
  echo $! >"$dir/xvfb.pid"
  for _ in $(seq 100); do [[ -s $dir/display ]] && break; sleep 0.1; done
  [[ -s $dir/display ]] || { echo "Xvfb did not start" >&2; exit 1; }
fi
export DISPLAY=:$(tr -d '[:space:]' <"$dir/display")
if [[ ! -f $dir/prefix/.corvane-ready ]]; then
  rm -rf "$dir/prefix"
  quiet wine cmd /c exit
  # Unmanaged windows: a window manager's handshake would cost seconds.
  quiet wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f
  wineserver -w
  touch "$dir/prefix/.corvane-ready"
fi
quiet setsid wineserver -p || true
# The first start in a session prints noise that no test must read.
quiet wine cmd /c exit
