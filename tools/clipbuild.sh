#!/usr/bin/env bash
# Development stand-in for the board's clip script: the board assembles a
# short video from its cameras; this writes a small clip to /tmp/out.avi
# (under APPLIANCE_ROOT).
set -eu
printf 'OggS\0\2stand-in clip\n' >"${APPLIANCE_ROOT:-}/tmp/out.avi"
