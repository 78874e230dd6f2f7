#!/bin/sh
# Installs the Debian packages the build, the tests, the fuzzers and the
# benchmarks need. Idempotent: installs only what is missing, and touches the
# package lists only when something is.
set -eu

packages="
  make cmake g++ pkg-config
  libicu-dev libical-dev libcurl4-openssl-dev nlohmann-json3-dev
  libsqlite3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev
  python3 tzdata file binutils
"
if [ "${1:-}" = "--bench" ]; then
  packages="$packages khal time"
fi

missing=""
for p in $packages; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  case "$status" in
    *"install ok installed"*) ;;
    *) missing="$missing $p" ;;
  esac
done
[ -z "$missing" ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing:$missing"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
# shellcheck disable=SC2086
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
