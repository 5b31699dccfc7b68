#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# `make demo`: the program doing its job with nothing set up by hand. A throwaway Kamailio on 127.0.0.1
# with two users, the echo peer signed in as one of them (it answers every text with "echo: <text>" and
# watches the other's presence), and the program signed in as the other, with its settings in a
# temporary directory (never the user's own). On the user's display, or on a virtual one when there is
# none: then a text is sent automatically and a screenshot is left. Everything started here is stopped
# by its process id when the program ends.
#
#   scripts/demo.sh [build directory]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
program=$build/chimely
peers=$build/demo/chimely-demo-peers

work=$(mktemp -d /tmp/chimely-demo-XXXXXX)
mkdir -p "$work/home" "$work/config" "$work/run"
chmod 700 "$work/run"
pids=()
tail_pid=
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    # The peers sign out and stop Kamailio on SIGTERM; give them a moment, bounded.
    for _ in $(seq 100); do
        local alive=0
        for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
        [ $alive -eq 0 ] && break
        sleep 0.1
    done
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    if [ -n "${tail_pid:-}" ]; then
        sleep 1.2  # tail looks for the peers' end once a second: their last lines get out first
        kill "$tail_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wait_for() {  # wait_for SECONDS COMMAND...: true once COMMAND succeeds
    local tries=$(($1 * 10)); shift
    for _ in $(seq "$tries"); do "$@" && return 0; sleep 0.1; done
    return 1
}

: >"$work/peers.log"
"$peers" "$work/config/Vantorell/chimely.conf" >"$work/peers.log" 2>&1 &
pids+=($!)
# The peers' lines as they come; tail ends with them.
tail -n +1 -f --pid="${pids[0]}" "$work/peers.log" &
tail_pid=$!
if ! wait_for 30 grep -q '^demo: ready' "$work/peers.log"; then
    echo "demo: the peers did not start" >&2
    exit 1
fi

virtual=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    virtual=1
    display=70; while [ -e /tmp/.X11-unix/X$display ] || [ -e /tmp/.X$display-lock ]; do display=$((display + 1)); done
    export DISPLAY=:$display
    Xvfb "$DISPLAY" -nolisten tcp -screen 0 800x600x24 >/dev/null 2>&1 &
    pids+=($!)
    wait_for 10 xdpyinfo -display "$DISPLAY" >/dev/null 2>&1 || true
    shots=$(mktemp -d /tmp/chimely-demo-screenshots-XXXXXX)
    echo "demo: there is no display here; the program runs on a virtual one (Xvfb $DISPLAY), sends a text"
    echo "      to echo by itself, and leaves a screenshot in $shots"
fi

# A runtime directory of its own keeps the demo's program apart from a Chimely the user may be running
# (one instance per runtime directory); the Wayland socket is then named by its full path.
if [ -n "${WAYLAND_DISPLAY:-}" ] && [ "${WAYLAND_DISPLAY#/}" = "$WAYLAND_DISPLAY" ]; then
    export WAYLAND_DISPLAY=${XDG_RUNTIME_DIR:-/run/user/$(id -u)}/$WAYLAND_DISPLAY
fi
HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/run "$program" &
program_pid=$!
pids+=($program_pid)

cat <<TEXT
demo: Chimely runs signed in as alice@demo.test (its settings: $work/config/Vantorell/chimely.conf).
demo: once "Connected" has gone, type echo in To, a text in Message, and press Enter:
demo: the echo peer answers "echo: <your text>" in a box of its own. Exit from the tray menu or the
demo: close box ends the demo.
TEXT

if [ $virtual -eq 1 ]; then
    window=
    wait_for 15 sh -c 'xdotool search --name "Vantorell Chimely 1.1" >/dev/null 2>&1' || true
    window=$(xdotool search --name "Vantorell Chimely 1.1" 2>/dev/null | head -1)
    # Signed in, and the status panel has gone: the compose controls take input.
    sleep 5
    if [ -n "$window" ]; then
        xdotool windowfocus --sync "$window" 2>/dev/null || true
        xdotool key ctrl+a && xdotool type "echo"
        xdotool key Tab && xdotool type "Hello from the demo"
        xdotool key Return
    fi
    if wait_for 10 grep -q 'echo peer: echo delivered' "$work/peers.log"; then
        sleep 1
        import -window root "$shots/demo.png"
        echo "demo: screenshot of the echo's box: $shots/demo.png"
    else
        import -window root "$shots/demo.png"
        echo "demo: no echo came back; the screen as it is: $shots/demo.png" >&2
    fi
    # Nobody can use a virtual display: the demo ends here, as Exit would end it.
    kill -TERM "$program_pid" 2>/dev/null || true
fi

status=0
wait "$program_pid" || status=$?
echo "demo: Chimely ended ($status); stopping the echo peer and Kamailio"
exit 0
