#!/usr/bin/env bash
# Installs everything tarvelo needs to build and test on a fresh Debian machine:
# the C++ libraries from Debian and a Python 3.12 virtual environment in .venv.
# Safe to run again: it only installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

debian_packages=(libeigen3-dev libspdlog-dev libfmt-dev libgtest-dev)
missing=()
for package in "${debian_packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

find_python() {
  local candidate
  if command -v pyenv >/dev/null 2>&1; then
    for candidate in "$(pyenv root)"/versions/3.12*/bin/python3.12; do
      [ -x "$candidate" ] && { echo "$candidate"; return; }
    done
  fi
  command -v python3.12 || true
}

if [ ! -x .venv/bin/python ]; then
  python=$(find_python)
  [ -n "$python" ] || { echo "bootstrap: Python 3.12 not found" >&2; exit 1; }
  echo "bootstrap: creating .venv with $python"
  "$python" -m venv .venv
fi

# Reinstall the Python requirements only when their list changed.
stamp=.venv/.requirements-stamp
if ! cmp -s scripts/requirements.txt "$stamp" 2>/dev/null; then
  echo "bootstrap: installing Python requirements"
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q -r scripts/requirements.txt
  cp scripts/requirements.txt "$stamp"
fi
