#!/usr/bin/env bash
# Makes the kernel run 32-bit ARM (EABI, little-endian) executables through
# qemu-arm-static, so that a chroot into the armhf root works.
#
# The entry is registered with the fix-binary flag 'F': the kernel opens the
# interpreter once, here, so the root does not need its own copy of qemu.
set -euo pipefail

BINFMT=/proc/sys/fs/binfmt_misc
QEMU=/usr/libexec/qemu-binfmt/arm-binfmt-P
# ELF32, little-endian, e_machine EM_ARM (0x28); the same magic and mask as
# Debian's /usr/lib/binfmt.d/qemu-arm.conf.
MAGIC='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00'
MASK='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

if [ ! -x "$QEMU" ]; then
  echo "binfmt.sh: $QEMU is missing (install qemu-user-static)" >&2
  exit 1
fi

if [ ! -e "$BINFMT/register" ]; then
  mount -t binfmt_misc binfmt_misc "$BINFMT"
fi
if [ "$(cat "$BINFMT/status")" != enabled ]; then
  echo 1 > "$BINFMT/status"
fi

if [ -e "$BINFMT/qemu-arm" ]; then
  entry=$(cat "$BINFMT/qemu-arm")
  if grep -qx enabled <<<"$entry" \
     && grep -q '^flags:.*F' <<<"$entry" \
     && grep -qx "interpreter $QEMU" <<<"$entry"; then
    exit 0
  fi
  # An entry without 'F' would look for the interpreter inside the chroot.
  echo -1 > "$BINFMT/qemu-arm"
fi

printf ':qemu-arm:M::%s:%s:%s:OPF' "$MAGIC" "$MASK" "$QEMU" > "$BINFMT/register"
