#!/usr/bin/env bash
# Installs the package into a Debian root and runs the project's pytest suite
# there: natively, or under qemu user-mode emulation for another architecture.
#
#   run-in-root.sh ROOT WHEEL PROJECT [PYTEST ARGS...]
#
# WHEEL is a wheel built outside (a cross-build), or --build: the root builds
# one itself from the work tree, with its own compiler, CMake and
# scikit-build-core, without fetching anything.  TALLOWMERE_EMULATED=1 loads
# the pytest plugin for runs under emulation.
#
# The work tree is copied into ROOT/home/tallowmere (the sources come along
# but are never imported: the suite must use the installed wheel).  The wheel
# is installed as root; the tests run as the unprivileged user nobody, as a
# user would run them.  /proc, /dev and /sys are mounted in a private mount
# namespace, so they are gone when this script ends, however it ends; they are
# also unmounted explicitly on the way out.
set -euo pipefail

ROOT=$(realpath "${1:?usage: run-in-root.sh ROOT WHEEL PROJECT [PYTEST ARGS...]}")
WHEEL=${2:?}
if [ "$WHEEL" != --build ]; then
  WHEEL=$(realpath "$WHEEL")
fi
PROJECT=$(realpath "${3:?}")
shift 3

if [ -z "${TALLOWMERE_ARMHF_UNSHARED:-}" ]; then
  export TALLOWMERE_ARMHF_UNSHARED=1
  exec unshare --mount --propagation private bash "$0" "$ROOT" "$WHEEL" "$PROJECT" "$@"
fi

WORK=/home/tallowmere
rm -rf "${ROOT:?}$WORK"
mkdir -p "$ROOT$WORK"
# The work tree as it is (tracked files and new ones that git does not
# ignore): tests, their data and the tools they run, such as bench/.  src/ comes
# along but is never on sys.path, and its sources cannot be imported on the
# target anyway, so the tests import the installed wheel.
git -C "$PROJECT" ls-files -z --cached --others --exclude-standard \
  | (cd "$PROJECT" && xargs -0 sh -c 'for f; do [ -f "$f" ] && printf "%s\0" "$f"; done' sh) \
  | tar -C "$PROJECT" --null -T - -cf - \
  | tar -C "$ROOT$WORK" -xf -
if [ "$WHEEL" != --build ]; then
  cp "$WHEEL" "$ROOT$WORK/"
fi
# The package's pure-Python dependencies, as wheels for any platform, from
# PyPI; the root has numpy and the compiled ones from Debian's packages
# (make-root.sh).
PURE_DEPENDENCIES=(wordfreq ftfy langcodes locate stopwordsiso textblob nltk click joblib tqdm defusedxml)
python3 -m pip download -q --disable-pip-version-check --no-deps --only-binary=:all: \
  -d "$ROOT$WORK/.wheels" "${PURE_DEPENDENCIES[@]}"
plugins=()
if [ "${TALLOWMERE_EMULATED:-}" = 1 ]; then
  mkdir -p "$ROOT$WORK/.plugins"
  cp "$(dirname "$0")/hypothesis_emulated.py" "$ROOT$WORK/.plugins/"
  plugins=(-p hypothesis_emulated)
fi

mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount -R "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true
  done
}
trap cleanup EXIT

mount -t proc proc "$ROOT/proc" && mounted+=("$ROOT/proc")
mount --rbind /dev "$ROOT/dev" && mounted+=("$ROOT/dev")
mount --rbind /sys "$ROOT/sys" && mounted+=("$ROOT/sys")
mount -t tmpfs tmpfs "$ROOT/tmp" && mounted+=("$ROOT/tmp")

in_root() {
  chroot "$ROOT" /usr/bin/env -i \
    HOME=/root PATH=/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin \
    LANG=C.UTF-8 TERM="${TERM:-dumb}" "$@"
}

as_user() {
  chroot "$ROOT" /usr/bin/setpriv --reuid=nobody --regid=nogroup --clear-groups /usr/bin/env -i \
    HOME=$WORK PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 TERM="${TERM:-dumb}" \
    PYTHONPATH=$WORK/.plugins "$@"
}

echo "== uname -m in the root: $(in_root uname -m)"
if [ "$WHEEL" = --build ]; then
  echo "== building the wheel in the root"
  in_root sh -c "cd $WORK && python3 -m pip wheel --no-deps --no-index --no-build-isolation \
    --disable-pip-version-check -q -w $WORK/.dist -Cbuild-dir=/tmp/build ."
  wheel_in_root=$(cd "$ROOT$WORK/.dist" && ls ./*.whl)
  wheel_in_root=$WORK/.dist/${wheel_in_root#./}
else
  wheel_in_root=$WORK/$(basename "$WHEEL")
fi
# The dependencies' wheels, as paths inside the root.
dependency_wheels=()
for wheel in "$ROOT$WORK"/.wheels/*.whl; do
  dependency_wheels+=("$WORK/.wheels/$(basename "$wheel")")
done
# --ignore-installed, not --force-reinstall: pip cannot uninstall what
# Debian installed (forky's python3-click, which dask brings, has no RECORD),
# and the copies in /usr/local come first on the path anyway.
in_root python3 -m pip install --no-deps --no-index --ignore-installed \
  --break-system-packages --disable-pip-version-check --root-user-action=ignore \
  -q "$wheel_in_root" "${dependency_wheels[@]}"
chown -R 65534:65534 "$ROOT$WORK"
as_user sh -c "cd $WORK && exec python3 -c 'import tallowmere.vellumcrest.keyword as m, tallowmere.vellumcrest.sparse as s, sys; print(\"== modules:\", m.__file__, s.__file__, \"on\", sys.version.split()[0])'"

# With no arguments, the whole suite; otherwise the arguments name what to run.
if [ $# -eq 0 ]; then
  set -- tests
fi
echo "== python3 -m pytest -q -rfEs ${plugins[*]} $*"
set +e
as_user sh -c "cd $WORK && exec python3 -m pytest -q -rfEs \"\$@\"" pytest "${plugins[@]}" "$@"
status=$?
set -e
exit "$status"
