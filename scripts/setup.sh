#!/usr/bin/env bash
# Installs everything the build, the tests, the demo and the benchmarks need.
# Idempotent: a second run on a set-up machine only checks and returns.
set -euo pipefail
cd "$(dirname "$0")/.."

DEB_PACKAGES=(
  build-essential cmake ninja-build ccache pkg-config git curl openssl
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libcurl4-openssl-dev libssl-dev nlohmann-json3-dev libpg-query-dev libsecret-1-dev
  gnome-keyring libsecret-tools dbus dbus-x11
  g++-mingw-w64-x86-64 tinyproxy clang libclang-rt-14-dev clang-format clang-tidy
  wine wine64
  postgresql
)

missing=()
for p in "${DEB_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing Debian packages: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The driver links a libcurl built for HTTP and HTTPS only, from Debian's
# sources; the build is kept under ~/.cache and made once per machine.
scripts/build_libcurl.sh >/dev/null

PY=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  echo "setup: creating .venv"
  "$PY" -m venv .venv
fi
stamp=.venv/.requirements.sha
want=$(sha256sum requirements.txt | cut -d' ' -f1)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
  echo "setup: installing Python packages"
  .venv/bin/pip install -q -r requirements.txt
  echo "$want" > "$stamp"
fi
# The dev server, installed in place so edits take effect. The driver's own
# package (python/) is used from the checkout by the tests and the demo, and
# installed as a wheel by users (make wheel).
for pkg in devserver:zorvane_devserver; do
  dir=${pkg%%:*}; mod=${pkg##*:}
  if [ -f "$dir/pyproject.toml" ] && ! .venv/bin/python -c "import $mod" 2>/dev/null; then
    echo "setup: installing $dir/ into .venv"
    .venv/bin/pip install -q -e "$dir"
  fi
done
