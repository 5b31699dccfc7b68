#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Starts the program, or says in one line how to when there is no display to show it on.
set -euo pipefail
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "chimely: no display (DISPLAY is not set); run it under a virtual display with: xvfb-run -a make run" >&2
    exit 0
fi
exec "$1"
