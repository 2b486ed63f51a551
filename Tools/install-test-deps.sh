#!/bin/sh
# Installs, with apt-get, what building and testing Zuvo needs and this
# Debian machine lacks: the compiler and build tools, GoogleTest, Google
# Benchmark and ThreadSanitizer's runtime.  Does nothing when all are
# there.  Needs root (or sudo) only when something is missing.
set -eu

need=""
for pkg in cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libtsan2; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
        need="$need $pkg"
done
[ -n "$need" ] || exit 0

echo "installing:$need"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends $need
