#!/usr/bin/env bash
# Makes the environment of the peer engines for bench/bench_peers.py: build/bench-peers/venv,
# Python 3.12, no system site packages, with power-grid-model and dss-python from
# bench/peers/requirements.txt. These packages are for the side-by-side benchmark only: they are
# never installed into .venv, and neither the engine nor its tests use them.
# Safe to run again: it reinstalls only when the requirements changed.
set -euo pipefail
cd "$(dirname "$0")/../.."

venv=build/bench-peers/venv
requirements=bench/peers/requirements.txt

find_python() {
  local candidate
  if command -v pyenv >/dev/null 2>&1; then
    for candidate in "$(pyenv root)"/versions/3.12*/bin/python3.12; do
      [ -x "$candidate" ] && { echo "$candidate"; return; }
    done
  fi
  command -v python3.12 || true
}

if [ ! -x "$venv/bin/python" ]; then
  python=$(find_python)
  [ -n "$python" ] || { echo "bench-peers: Python 3.12 not found" >&2; exit 1; }
  echo "bench-peers: creating $venv with $python"
  mkdir -p "$(dirname "$venv")"
  "$python" -m venv "$venv"
fi

stamp=$venv/.requirements-stamp
if ! cmp -s "$requirements" "$stamp" 2>/dev/null; then
  echo "bench-peers: installing $(grep -v '^#' "$requirements" | tr '\n' ' ')"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q -r "$requirements"
  cp "$requirements" "$stamp"
fi
