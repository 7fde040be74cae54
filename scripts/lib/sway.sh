#!/usr/bin/env bash
# shellcheck shell=bash
# A headless sway (wlroots) for the Wayland clipboard tests and benchmarks.
#
# Sourced (scripts/lib/services.sh, scripts/bench):
#   start_sway   starts sway with no outputs' hardware (WLR_BACKENDS=headless, pixman renderer,
#                no input devices) and exports WAYLAND_DISPLAY as the full path of its socket,
#                so that any client, root included, reaches it whatever its XDG_RUNTIME_DIR.
#                Returns non-zero, having said why, when sway does not come up within 60 s.
#   stop_sway    stops the sway start_sway started, and no other; safe to call more than once.
# Run, for a shell of one's own:
#   eval "$(scripts/lib/sway.sh start)"     prints the exports (LUMO_SWAY_DIR included)
#   scripts/lib/sway.sh stop                stops the one LUMO_SWAY_DIR names
#
# sway refuses to run as root: as root it runs as the unprivileged user lumo-sway (created once,
# without a home or a login shell), in a runtime folder of its own (0700, owned by that user).

sway_user=lumo-sway
sway_dir=""

start_sway() {
  local dir run_as=() socket="" deadline=$((SECONDS + 60))
  dir=$(mktemp -d /tmp/lumo-sway.XXXXXX) || return 1
  if [[ $(id -u) -eq 0 ]]; then
    if ! id -u "$sway_user" >/dev/null 2>&1; then
      useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
        "$sway_user" || return 1
    fi
    chown "$sway_user:" "$dir" || return 1
    run_as=(setpriv "--reuid=$sway_user" "--regid=$sway_user" --clear-groups)
  fi
  chmod 0700 "$dir"
  # No X clients: Xwayland is not wanted, nor installed.
  printf 'xwayland disable\n' >"$dir/config"
  sway_dir=$dir
  # The log is opened by this shell, so it stays readable after sway's user is switched.
  "${run_as[@]}" env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$dir" XDG_RUNTIME_DIR="$dir" \
    WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
    sway -c "$dir/config" >"$dir/log" 2>&1 &
  echo $! >"$dir/pid"
  # The socket exists before sway runs its loop; the IPC answers once it does.
  while true; do
    if ! kill -0 "$(cat "$dir/pid")" 2>/dev/null || ((SECONDS > deadline)); then
      echo "sway did not start:" >&2
      tail -n 20 "$dir/log" >&2
      stop_sway
      return 1
    fi
    socket=$(find "$dir" -maxdepth 1 -type s -name 'wayland-*' -print -quit)
    if [[ -n $socket ]]; then
      local ipc
      ipc=$(find "$dir" -maxdepth 1 -type s -name 'sway-ipc.*' -print -quit)
      [[ -n $ipc ]] && timeout 5 swaymsg -s "$ipc" -t get_version >/dev/null 2>&1 && break
    fi
    sleep 0.1
  done
  export WAYLAND_DISPLAY=$socket LUMO_SWAY_DIR=$dir
  echo "sway on $WAYLAND_DISPLAY" >&2
}

stop_sway() {
  local dir=$sway_dir pid deadline=$((SECONDS + 10))
  [[ -n $dir && -d $dir ]] || return 0
  pid=$(cat "$dir/pid" 2>/dev/null || true)
  if [[ -n $pid ]]; then
    kill "$pid" 2>/dev/null || true
    while kill -0 "$pid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.05; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
  sway_dir=""
  if [[ ${LUMO_SWAY_DIR:-} == "$dir" ]]; then unset WAYLAND_DISPLAY LUMO_SWAY_DIR; fi
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  set -euo pipefail
  case ${1:-} in
    start)
      # The exports go to standard output for eval; sway's own output to its log.
      start_sway >&2
      printf 'export WAYLAND_DISPLAY=%q LUMO_SWAY_DIR=%q\n' "$WAYLAND_DISPLAY" "$LUMO_SWAY_DIR"
      ;;
    stop)
      sway_dir=${LUMO_SWAY_DIR:?names no sway to stop}
      stop_sway
      ;;
    *)
      echo "usage: scripts/lib/sway.sh start|stop" >&2
      exit 2
      ;;
  esac
fi
