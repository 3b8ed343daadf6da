#!/usr/bin/env bash
# Builds the Debian bookworm armhf root that the tests run in, from Debian's
# packages, unless an up-to-date one is already in the cache.
#
#   make-root.sh ROOT [--rebuild]
#
# The root records the recipe it was built from in ROOT/etc/tallowmere-armhf-recipe;
# a root whose recipe differs from the one below is rebuilt.  The root is built
# in ROOT.new and moved into place only when complete, so an interrupted build
# never leaves a half root behind.
set -euo pipefail

ROOT=${1:?usage: make-root.sh ROOT [--rebuild]}
REBUILD=${2:-}

SUITE=bookworm
MIRROR=http://deb.debian.org/debian
SECURITY=http://deb.debian.org/debian-security
# python3-dev brings libpython3.11-dev (the headers the cross-build compiles
# against); libpython3.11-stdlib already carries _testcapi.
PACKAGES=(
  python3.11 python3-dev libpython3.11-dev
  python3-numpy python3-pytest python3-hypothesis python3-pip
  gdb  # the fault-injection tests read native backtraces of crashes inside numpy
  # The compiled and stemming dependencies of keyphrases (wordfreq's regex and
  # msgpack, which PyPI has no armv7l wheels of); run-in-root.sh adds the
  # pure-Python ones from PyPI.
  python3-regex python3-msgpack python3-wcwidth python3-snowballstemmer
)
RECIPE="suite=$SUITE mirror=$MIRROR packages=${PACKAGES[*]}"
RECIPE_FILE=etc/tallowmere-armhf-recipe

if [ "$REBUILD" != --rebuild ] && [ -f "$ROOT/$RECIPE_FILE" ] \
   && [ "$(cat "$ROOT/$RECIPE_FILE")" = "$RECIPE" ]; then
  echo "armhf root: up to date in $ROOT"
  exit 0
fi

# Never delete a root that still has something mounted in it.
for dir in "$ROOT" "$ROOT.new"; do
  if [ -d "$dir" ] && grep -q " $(realpath "$dir")/" /proc/mounts; then
    echo "make-root.sh: $dir still has mounts; unmount them first" >&2
    exit 1
  fi
done

echo "armhf root: building $ROOT (takes several minutes under emulation)"
rm -rf "$ROOT.new"
mkdir -p "$(dirname "$ROOT")"

include=$(IFS=,; echo "${PACKAGES[*]}")
mmdebstrap \
  --mode=root \
  --variant=apt \
  --architectures=armhf \
  --include="$include" \
  --aptopt='Acquire::Languages "none"' \
  --dpkgopt='path-exclude=/usr/share/man/*' \
  --dpkgopt='path-exclude=/usr/share/locale/*' \
  --dpkgopt='path-include=/usr/share/locale/locale.alias' \
  --dpkgopt='path-exclude=/usr/share/doc/*' \
  --dpkgopt='path-include=/usr/share/doc/*/copyright' \
  "$SUITE" "$ROOT.new" \
  "deb $MIRROR $SUITE main" \
  "deb $MIRROR $SUITE-updates main" \
  "deb $SECURITY $SUITE-security main"

# numpy loads libblas.so.3 and liblapack.so.3 through the alternatives system;
# if a package's configure step did not set the links up, point them at the
# reference implementations directly.  The links are absolute inside the root,
# so they are checked from inside it.
for lib in blas lapack; do
  link=/usr/lib/arm-linux-gnueabihf/lib$lib.so.3
  if ! chroot "$ROOT.new" /usr/bin/test -e "$link"; then
    if [ ! -e "$ROOT.new/usr/lib/arm-linux-gnueabihf/$lib/lib$lib.so.3" ]; then
      echo "make-root.sh: no implementation of lib$lib.so.3 in the root" >&2
      exit 1
    fi
    ln -sfn "$lib/lib$lib.so.3" "$ROOT.new$link"
  fi
done
chroot "$ROOT.new" /usr/bin/python3 -c 'import numpy; numpy.dot(numpy.ones([2, 2]), numpy.ones([2, 1]))'

echo "$RECIPE" > "$ROOT.new/$RECIPE_FILE"
rm -rf "$ROOT"
mv "$ROOT.new" "$ROOT"
echo "armhf root: ready in $ROOT"
