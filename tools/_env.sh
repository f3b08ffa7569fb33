# Shared by tools/tour and tools/run-tests (sourced, from the repository
# root): the system packages a build needs, then the project's virtual
# environment in .venv. Python packages, CMake and Ninja included, come from
# PyPI into .venv; the system's Python is never installed into.
#
# PYTHON picks the interpreter that makes .venv (default: python3, which may
# be Debian's, pyenv's or conda's).

PYTHON="${PYTHON:-python3}"
VENV="$PWD/.venv"

say() { printf '%s\n' "$*" >&2; }

# apt-get as root, or through sudo; only on machines that have apt-get.
apt_install() {
  if ! command -v apt-get >/dev/null 2>&1; then
    say "error: missing $*; install it with your system's package manager"
    return 1
  fi
  local sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  say "installing $* with apt-get"
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

require_python() {
  if ! command -v "$PYTHON" >/dev/null 2>&1; then
    apt_install python3
  fi
  if ! "$PYTHON" -c 'import sys; sys.exit(sys.version_info < (3, 10))'; then
    say "error: $PYTHON is Python $("$PYTHON" -c 'import platform; print(platform.python_version())'); varlix needs 3.10 or later (set PYTHON=...)"
    return 1
  fi
}

# A C++23 compiler; the build finds it as c++.
require_compiler() {
  if ! command -v g++ >/dev/null 2>&1 && ! command -v c++ >/dev/null 2>&1; then
    apt_install g++
  fi
}

# Python.h for the interpreter that builds the extension. pyenv and conda
# ship it; Debian's and Ubuntu's python3 need python3-dev.
require_python_headers() {
  if ! "$PYTHON" -c 'import os, sys, sysconfig; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
    apt_install python3-dev
  fi
}

# .venv, made when missing (or when its interpreter is gone). Debian and
# Ubuntu ship the venv module, or its ensurepip, apart: python3-venv.
ensure_venv() {
  if [ -x "$VENV/bin/python" ] && "$VENV/bin/python" -c 'import pip' >/dev/null 2>&1; then
    return 0
  fi
  rm -rf "$VENV"
  if ! "$PYTHON" -m venv "$VENV" >/dev/null 2>&1; then
    rm -rf "$VENV"
    apt_install python3-venv
    "$PYTHON" -m venv "$VENV"
  fi
}

# Everything a build and a run need, and .venv ready.
prepare_environment() {
  require_python
  require_compiler
  require_python_headers
  ensure_venv
}

pip_install() {
  "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check "$@"
}
