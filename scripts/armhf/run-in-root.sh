#!/usr/bin/env bash
# Installs a wheel into the armhf root and runs the project's pytest suite
# there, under qemu user-mode emulation.
#
#   run-in-root.sh ROOT WHEEL PROJECT [PYTEST ARGS...]
#
# The work tree is copied into ROOT/home/tallowmere (the sources come along
# but are never imported: the suite must use the installed wheel).  The wheel
# is installed as root; the tests run as the unprivileged user nobody, as a
# user would run them.  /proc, /dev and /sys are mounted in a private mount
# namespace, so they are gone when this script ends, however it ends; they are
# also unmounted explicitly on the way out.
set -euo pipefail

ROOT=$(realpath "${1:?usage: run-in-root.sh ROOT WHEEL PROJECT [PYTEST ARGS...]}")
WHEEL=$(realpath "${2:?}")
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
cp "$WHEEL" "$ROOT$WORK/"
mkdir -p "$ROOT$WORK/.armhf"
# The pure-Python dependencies of keyphrases, as wheels for any platform;
# the root has the compiled ones from Debian (make-root.sh).
PURE_DEPENDENCIES=(wordfreq ftfy langcodes locate stopwordsiso)
python3 -m pip download -q --disable-pip-version-check --no-deps --only-binary=:all: \
  -d "$ROOT$WORK/.armhf/wheels" "${PURE_DEPENDENCIES[@]}"
cp "$(dirname "$0")/hypothesis_emulated.py" "$ROOT$WORK/.armhf/"

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
    PYTHONPATH=$WORK/.armhf "$@"
}

echo "== uname -m in the root: $(in_root uname -m)"
in_root python3 -m pip install --no-deps --no-index --force-reinstall \
  --break-system-packages --disable-pip-version-check --root-user-action=ignore \
  -q "$WORK/$(basename "$WHEEL")" "$WORK"/.armhf/wheels/*.whl
chown -R 65534:65534 "$ROOT$WORK"
as_user sh -c "cd $WORK && exec python3 -c 'import tallowmere.vellumcrest.keyword as m, tallowmere.vellumcrest.sparse as s, sys; print(\"== modules:\", m.__file__, s.__file__, \"on\", sys.version.split()[0])'"

# With no arguments, the whole suite; otherwise the arguments name what to run.
if [ $# -eq 0 ]; then
  set -- tests
fi
echo "== python3 -m pytest -q -rfEs -p hypothesis_emulated $*"
set +e
as_user sh -c "cd $WORK && exec python3 -m pytest -q -rfEs -p hypothesis_emulated \"\$@\"" pytest "$@"
status=$?
set -e
exit "$status"
