#!/usr/bin/env bash
# Builds a Debian root from Debian's packages, unless an up-to-date one is
# already in the cache.
#
#   make-root.sh ROOT SUITE ARCH [--rebuild] [-- EXTRA PACKAGES...]
#
# SUITE is a Debian release (bookworm, trixie, forky), ARCH a Debian
# architecture (armhf, amd64).  Every root has the release's CPython 3 with
# its headers, numpy, pytest, hypothesis, pip, gdb and the package's compiled
# dependencies; EXTRA PACKAGES are added to those.  The root records the recipe it was built from in
# ROOT/etc/tallowmere-recipe; a root whose recipe differs is rebuilt.  It is
# built in ROOT.new and moved into place only when complete, so an interrupted
# build never leaves a half root behind.
set -euo pipefail

usage="usage: make-root.sh ROOT SUITE ARCH [--rebuild] [-- EXTRA PACKAGES...]"
ROOT=${1:?$usage}
SUITE=${2:?$usage}
ARCH=${3:?$usage}
shift 3
REBUILD=
if [ "${1:-}" = --rebuild ]; then
  REBUILD=--rebuild
  shift
fi
if [ "${1:-}" = -- ]; then
  shift
fi

MIRROR=http://deb.debian.org/debian
SECURITY=http://deb.debian.org/debian-security
# python3-dev brings the interpreter's headers and library (a cross-build
# compiles against them); libpython3.X-stdlib already carries _testcapi.
PACKAGES=(
  python3 python3-dev
  python3-numpy python3-pytest python3-hypothesis python3-pip
  gdb  # the fault-injection tests read native backtraces of crashes inside numpy
  # The package's dependencies that PyPI has no wheels of for every
  # architecture (wordfreq's regex and msgpack, PyStemmer); run-in-root.sh adds the
  # pure-Python ones.
  python3-regex python3-msgpack python3-wcwidth python3-snowballstemmer python3-stemmer
  # The chinese extra: jieba is pure Python, but PyPI has only its source.
  python3-jieba
  "$@"
)
SOURCES=("deb $MIRROR $SUITE main")
APT_OPTIONS=('Acquire::Languages "none"')
case $SUITE in
  bookworm | trixie)
    SOURCES+=("deb $MIRROR $SUITE-updates main" "deb $SECURITY $SUITE-security main")
    ;;
  *)
    # Testing has no updates or security suites, and its Release file can
    # read as expired on a machine whose clock is ahead of the mirror's.
    APT_OPTIONS+=('Acquire::Check-Valid-Until "false"')
    ;;
esac
RECIPE="suite=$SUITE arch=$ARCH mirror=$MIRROR packages=${PACKAGES[*]}"
RECIPE_FILE=etc/tallowmere-recipe

if [ "$REBUILD" != --rebuild ] && [ -f "$ROOT/$RECIPE_FILE" ] \
   && [ "$(cat "$ROOT/$RECIPE_FILE")" = "$RECIPE" ]; then
  echo "$SUITE $ARCH root: up to date in $ROOT"
  exit 0
fi

# Never delete a root that still has something mounted in it.
for dir in "$ROOT" "$ROOT.new"; do
  if [ -d "$dir" ] && grep -q " $(realpath "$dir")/" /proc/mounts; then
    echo "make-root.sh: $dir still has mounts; unmount them first" >&2
    exit 1
  fi
done

echo "$SUITE $ARCH root: building $ROOT (takes several minutes, more under emulation)"
rm -rf "$ROOT.new"
mkdir -p "$(dirname "$ROOT")"

include=$(IFS=,; echo "${PACKAGES[*]}")
apt_options=()
for option in "${APT_OPTIONS[@]}"; do
  apt_options+=("--aptopt=$option")
done
mmdebstrap \
  --mode=root \
  --variant=apt \
  --architectures="$ARCH" \
  --include="$include" \
  "${apt_options[@]}" \
  --dpkgopt='path-exclude=/usr/share/man/*' \
  --dpkgopt='path-exclude=/usr/share/locale/*' \
  --dpkgopt='path-include=/usr/share/locale/locale.alias' \
  --dpkgopt='path-exclude=/usr/share/doc/*' \
  --dpkgopt='path-include=/usr/share/doc/*/copyright' \
  "$SUITE" "$ROOT.new" \
  "${SOURCES[@]}"

# numpy loads libblas.so.3 and liblapack.so.3 through the alternatives system;
# if a package's configure step did not set the links up, point them at the
# reference implementations directly.  The links are absolute inside the root,
# so they are checked from inside it.
case $ARCH in
  armhf) triplet=arm-linux-gnueabihf ;;
  amd64) triplet=x86_64-linux-gnu ;;
  arm64) triplet=aarch64-linux-gnu ;;
  *) echo "make-root.sh: no multiarch triplet known for $ARCH" >&2; exit 1 ;;
esac
for lib in blas lapack; do
  link=/usr/lib/$triplet/lib$lib.so.3
  if ! chroot "$ROOT.new" /usr/bin/test -e "$link"; then
    if [ ! -e "$ROOT.new/usr/lib/$triplet/$lib/lib$lib.so.3" ]; then
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
echo "$SUITE $ARCH root: ready in $ROOT"
