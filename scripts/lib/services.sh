# shellcheck shell=bash
# Sourced by the scripts that run the test suites: starts what those suites talk to.
#
#   start_services [--no-display]
#                    starts the reference service (scripts/devstack) unless LUMO_API_BASE
#                    already names one, and for the clipboard tests an X server unless DISPLAY
#                    is set and a headless sway (scripts/lib/sway.sh) unless WAYLAND_DISPLAY
#                    is, neither with --no-display; exports their variables. Returns non-zero,
#                    having said why, when one cannot start.
#   stop_services    stops what start_services started; safe to call more than once, so
#                    callers install it as their EXIT trap.

# shellcheck source=scripts/lib/sway.sh
source "$(dirname "${BASH_SOURCE[0]}")/sway.sh"

services_xvfb_pid=""
services_own_stack=0

start_services() {
  local lines
  if [[ -z ${LUMO_API_BASE:-} ]]; then
    if [[ -z ${LUMO_DEVSTACK_DIR:-} ]]; then
      LUMO_DEVSTACK_DIR=$(mktemp -d /tmp/lumo-devstack.XXXXXX) || return 1
    fi
    export LUMO_DEVSTACK_DIR
    services_own_stack=1
    lines=$(scripts/devstack start) || return 1
    eval "$lines"
  fi
  [[ ${1:-} != --no-display ]] || return 0
  if [[ -z ${WAYLAND_DISPLAY:-} ]]; then start_sway || return 1; fi
  [[ -z ${DISPLAY:-} ]] || return 0
  # Xvfb picks a free display and writes its number once it accepts clients.
  local display_file deadline=$((SECONDS + 60))
  display_file=$(mktemp /tmp/lumo-xvfb.XXXXXX) || return 1
  Xvfb -displayfd 3 -nolisten tcp 3>"$display_file" >"$display_file.log" 2>&1 &
  services_xvfb_pid=$!
  until [[ -s $display_file ]]; do
    if ! kill -0 "$services_xvfb_pid" 2>/dev/null || ((SECONDS > deadline)); then
      echo "Xvfb did not start:" >&2
      tail -n 20 "$display_file.log" >&2
      return 1
    fi
    sleep 0.1
  done
  export DISPLAY=":$(tr -dc 0-9 <"$display_file")"
  rm -f "$display_file" "$display_file.log"
  echo "X server on $DISPLAY" >&2
}

stop_services() {
  stop_sway
  if ((services_own_stack)); then
    scripts/devstack stop >/dev/null 2>&1 || true
    services_own_stack=0
  fi
  if [[ -n $services_xvfb_pid ]]; then
    kill "$services_xvfb_pid" 2>/dev/null || true
    wait "$services_xvfb_pid" 2>/dev/null || true
    services_xvfb_pid=""
  fi
}
