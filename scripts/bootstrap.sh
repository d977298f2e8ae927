#!/usr/bin/env bash
# Installs everything tarvelo needs to build and test on a fresh Debian-like machine: the C++
# compiler and libraries from the distribution's packages (with apt-get, as root or through
# sudo) and a virtual environment of CPython 3.12 or newer in .venv.
# Debian packages named as arguments are installed too (`make leaks` asks for valgrind).
# Safe to run again: it only installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs those of the named Debian packages that are not installed yet.
install_debian_packages() {
  local package missing=()
  for package in "$@"; do
    dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ "${#missing[@]}" -gt 0 ] || return 0
  echo "bootstrap: installing ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Whether $1 runs as a CPython of 3.12 or newer with the global interpreter lock: the module is
# built for the stable ABI of 3.12, which free-threaded builds do not offer.
usable_python() {
  "$1" -c 'import sys, sysconfig
sys.exit(not (sys.implementation.name == "cpython" and sys.version_info >= (3, 12)
              and not sysconfig.get_config_var("Py_GIL_DISABLED")))' 2>/dev/null
}

# The first usable interpreter among pyenv's versions from the oldest to the newest, then
# python3.12, python3.13 and python3 on the PATH. The oldest comes first: the module is built
# for the stable ABI of 3.12, so the environment tests it on the oldest Python it serves.
find_python() {
  local candidate
  local candidates=()
  if command -v pyenv >/dev/null 2>&1; then
    while read -r candidate; do
      candidates+=("$candidate")
    done < <(printf '%s/bin/python3\n' "$(pyenv root)"/versions/3.* | sort -V)
  fi
  for candidate in python3.12 python3.13 python3; do
    command -v "$candidate" >/dev/null 2>&1 && candidates+=("$(command -v "$candidate")")
  done
  for candidate in "${candidates[@]}"; do
    usable_python "$candidate" && { echo "$candidate"; return; }
  done
  return 1
}

# The distribution's interpreter keeps venv and its headers in packages of their own.
install_venv_and_headers() {
  local python=$1 version
  dpkg -S "$(readlink -f "$python")" >/dev/null 2>&1 || return 0
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  install_debian_packages "python$version-venv" "python$version-dev"
}

install_debian_packages g++ libeigen3-dev libspdlog-dev libfmt-dev libgtest-dev "$@"

if [ ! -x .venv/bin/python ]; then
  if ! python=$(find_python); then
    echo "bootstrap: Python 3.12 or newer is needed (CPython, from pyenv or as python3.12," \
      "python3.13 or python3 on the PATH); none was found" >&2
    exit 1
  fi
  install_venv_and_headers "$python"
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
