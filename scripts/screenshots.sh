#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Takes screenshots of the program under a private Xvfb with a real X11 tray (trayer): the main window with
# its recipient history, the Preferences dialog, a received text's box, and the tray menu. The program signs
# in at a SIPp registrar on 127.0.0.1 and gets its text from SIPp; nothing leaves the machine.
#
#   scripts/screenshots.sh [build directory] [output directory]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
out=${2:-$(mktemp -d /tmp/chimely-screenshots-XXXXXX)}
mkdir -p "$out"

missing=()
for tool in Xvfb trayer xdotool import sipp xwininfo; do command -v "$tool" >/dev/null || missing+=("$tool"); done
if [ ${#missing[@]} -ne 0 ]; then
    as_root=(); [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q --no-install-recommends \
        xvfb trayer xdotool imagemagick sip-tester x11-utils >/dev/null
fi

work=$(mktemp -d /tmp/chimely-shots-XXXXXX)
pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

display=57; while [ -e /tmp/.X11-unix/X$display ]; do display=$((display + 1)); done
export DISPLAY=:$display
Xvfb "$DISPLAY" -nolisten tcp -screen 0 1024x700x24 >/dev/null 2>&1 & pids+=($!)
sleep 1
trayer --edge bottom --align right --widthtype request --height 24 >/dev/null 2>&1 & pids+=($!)

registrar=$(free_port)
cat > "$work/registrar.xml" <<'XML'
<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="registrar">
  <recv request="REGISTER"/>
  <send><![CDATA[
SIP/2.0 200 OK
[last_Via:]
[last_From:]
[last_To:];tag=[pid]r[call_number]
[last_Call-ID:]
[last_CSeq:]
[last_Contact:];expires=1800
Content-Length: 0

]]></send>
</scenario>
XML
sipp -sf "$work/registrar.xml" -i 127.0.0.1 -p "$registrar" -nostdin -bg >/dev/null 2>&1 || true
pids+=($(pgrep -f "sipp -sf $work/registrar.xml" | head -1))

port=$(free_port)
mkdir -p "$work/config/Vantorell" "$work/run"; chmod 700 "$work/run"
{
    echo "[Settings]"
    echo "Protocol=0"; echo "OutboundProxy=1"; echo "DisplayName=Alice"; echo "SigninName=alice@example.test"
    echo "Password=secret"; echo "Server=127.0.0.1:$registrar"; echo "LocalPort=$port"
    names=(bob carol dave front.desk@example.test)
    echo "To=${#names[@]}"
    for i in "${!names[@]}"; do echo "To$i=${names[$i]}"; done
} > "$work/config/Vantorell/chimely.conf"

HOME=$work XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/run QT_QPA_PLATFORM=xcb "$build/chimely" >/dev/null 2>&1 &
pids+=($!)
sleep 5   # signed in, "Connected" has come and gone

window=$(xdotool search --name "Vantorell Chimely 1.1" | head -1)
xdotool windowfocus --sync "$window" 2>/dev/null || true
# The focus is in the To box once the panel has gone.
xdotool key ctrl+a && xdotool type "carol"
xdotool key Tab && xdotool type "Lunch at noon?"
xdotool key shift+Tab alt+Down
sleep 0.5
import -window root "$out/main-window-with-history.png"
xdotool key Escape
sleep 0.3

xdotool key ctrl+comma
sleep 1
import -window root "$out/preferences.png"
xdotool key Escape
sleep 0.5

cat > "$work/text.xml" <<'XML'
<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="text">
  <send><![CDATA[
MESSAGE sip:alice@[remote_ip]:[remote_port] SIP/2.0
Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]
From: "Front desk" <sip:front.desk@example.test>;tag=[pid]t[call_number]
To: <sip:alice@example.test>
Call-ID: [call_id]
CSeq: 1 MESSAGE
Max-Forwards: 70
Content-Type: text/plain
Content-Length: [len]

Your visitor is waiting at the front desk.]]></send>
  <recv response="200"/>
</scenario>
XML
sipp 127.0.0.1:"$port" -sf "$work/text.xml" -i 127.0.0.1 -p "$(free_port)" -m 1 -nostdin >/dev/null 2>&1 || true
sleep 1
import -window root "$out/incoming-message.png"
xdotool key Return
sleep 0.5

# The tray icon: the one small window trayer holds.
read -r x y < <(xwininfo -root -tree | awk '/chimely/ && / 2[0-4]x2[0-4]\+/ {split($NF, a, "+"); print a[2]+10, a[3]+10; exit}')
if [ -n "${x:-}" ]; then
    xdotool mousemove "$x" "$y" click 3
    sleep 0.7
    import -window root "$out/tray-menu.png"
    xdotool key Escape
fi
echo "$out"
ls -1 "$out"
