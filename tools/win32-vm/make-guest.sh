#!/usr/bin/env bash
# Makes the emulated PC's disk: Debian 12 amd64 with Wine (its 32-bit half too) and what the
# 32-bit tree's tests run, a kernel and an initrd that loads virtio, written into one ext4 image
# without mounting anything. Runs as root.
# Usage: make-guest.sh OUT  (OUT is filled with root.img, vmlinuz and initrd.img)
set -euo pipefail
out="$1"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# The package sources are the host's own, for the same release; none is ever guessed.
release=bookworm
if ! sources="$(python3 "$here/apt-sources.py" "$release")"; then
  echo "win32-vm: the host's apt configuration (/etc/apt/sources.list, /etc/apt/sources.list.d/*.list or" \
       "*.sources) names no Debian source for $release with the main component; the guest's packages come" \
       "from there only. Add one (a \"deb URI $release main\" line) and run again." >&2
  exit 1
fi
mirror="$(head -n 1 <<<"$sources" | cut -d' ' -f2)"
tree="$out/rootfs"
rm -rf "$tree"
mkdir -p "$out"

echo "win32-vm: debootstrap of $release from $mirror (the host's apt source)" >&2
debootstrap --variant=minbase --arch=amd64 --include=python3,xvfb,xauth,procps,iproute2 \
  "$release" "$tree" "$mirror" >"$out/debootstrap.log" 2>&1 ||
  { tail -n 20 "$out/debootstrap.log" >&2; exit 1; }

cp /etc/resolv.conf "$tree/etc/resolv.conf"
# The loopback names every installed system has and debootstrap leaves out: tests connect to
# "localhost" by name.
printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$tree/etc/hosts"
echo "$sources" >"$tree/etc/apt/sources.list"
# Nothing installed in the chroot may start a service on the host.
printf '#!/bin/sh\nexit 101\n' >"$tree/usr/sbin/policy-rc.d"
chmod 755 "$tree/usr/sbin/policy-rc.d"

echo "win32-vm: installing Wine, the kernel and the initrd in the guest tree" >&2
# A private mount namespace: the chroot's /proc goes away with this process, however it ends.
unshare --mount --propagation private -- bash -euo pipefail -c '
  tree="$1" update_sources="$2"
  mount -t proc proc "$tree/proc"
  inside() { chroot "$tree" env DEBIAN_FRONTEND=noninteractive LC_ALL=C "$@"; }
  inside dpkg --add-architecture i386
  # Beside Wine, what the 32-bit tree'\''s suite runs: CTest, the native tree'\''s receiver (built with
  # ASan and UBSan), the SSE2 check'\''s objdump, and ImageMagick'\''s import for the screenshots.
  # The test networks add nftables (iproute2 came with debootstrap), and Wine'\''s TLS for its 32-bit
  # half comes along (GnuTLS, only a recommendation of Wine'\''s packages). Without stunnel4 the TLS
  # end-to-end cases skip here: they do not pass in the guest yet (see the README).
  packages=(wine wine32:i386 linux-image-amd64 initramfs-tools cmake libasan8 libubsan1 binutils-mingw-w64-i686
            imagemagick nftables openssl ca-certificates libgnutls30:i386)
  # The same sources as the host'\''s, so the same mirror mid-sync: a source whose index still fails
  # after the retries is left out when the packages can come from the rest (with a warning).
  options="$(python3 "$update_sources" --root "$tree" --tries "${PARVOLET_APT_TRIES:-3}" \
               --pause "${PARVOLET_APT_PAUSE:-20}" --simulate "${packages[@]}")"
  eval "inside apt-get install -y -q --no-install-recommends $options \"\${packages[@]}\""
  rm -rf "$tree/tmp/parvolet-apt-sources"
  inside apt-get clean
' _ "$tree" "$here/../apt/update-sources.py" >"$out/install.log" 2>&1 || { tail -n 30 "$out/install.log" >&2; exit 1; }
grep '^apt-sources: WARNING' "$out/install.log" >&2 || true

rm -f "$tree/usr/sbin/policy-rc.d"
rm -rf "$tree/var/lib/apt/lists/"*
install -m 755 "$here/init.sh" "$tree/check.sh"

kernels=("$tree"/boot/vmlinuz-*)
initrds=("$tree"/boot/initrd.img-*)
if [ ${#kernels[@]} -ne 1 ] || [ ! -f "${kernels[0]}" ] || [ ${#initrds[@]} -ne 1 ] || [ ! -f "${initrds[0]}" ]; then
  echo "win32-vm: expected one kernel and one initrd in the guest's /boot" >&2
  exit 1
fi
cp "${kernels[0]}" "$out/vmlinuz"
cp "${initrds[0]}" "$out/initrd.img"

echo "win32-vm: writing the root image" >&2
# Room beside the 2.1 GB system for the Wine prefix and what the checks write.
mkfs.ext4 -q -F -L parvolet-vm -d "$tree" "$out/root.img" 4G >/dev/null
rm -rf "$tree"
