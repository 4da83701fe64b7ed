#!/usr/bin/env bash
# The mounted disk beside its limit: a VaultDisk on X: of a freshly booted system and a plain
# NTFS image of the same size on the same disk, mounted by ntfs-3g with the mount manager's
# options, put through the same file operations in turns, caches dropped before every read.
#
#   bench/mounted_disk.sh [BUILD_DIR]     (as root; BUILD_DIR defaults to build/release)
#
# Environment: DISK_MIB (4200), FILE_MIB (256), RANDOM_READS (8192), ROUNDS (3).
# ntfs-3g takes writes bigger than 4 KiB only on volumes of 4 GiB or more; on a smaller disk
# every cluster written costs it five device transfers, which the plain image pays in memory
# and the VaultDisk in round trips to its driver.
# Needs the targets hlsys, hlkernel, lockvol, format, vaultdisk and disk_io of that build.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build/release}" && pwd)
disk_mib=${DISK_MIB:-4200}
file_mib=${FILE_MIB:-256}
random_reads=${RANDOM_READS:-8192}
rounds=${ROUNDS:-3}

hlsys=$build/bin/hlsys
format=$build/bin/format
vaultdisk=$build/bin/vaultdisk
disk_io=$build/bin/disk_io
for program in "$hlsys" "$format" "$vaultdisk" "$disk_io"; do
  if [ ! -x "$program" ]; then
    echo "mounted_disk: $program is missing; build hlsys format vaultdisk disk_io first" >&2
    exit 2
  fi
done
if [ "$(id -u)" -ne 0 ]; then
  echo "mounted_disk: run as root (FUSE mounts and dropping the caches)" >&2
  exit 2
fi

root=$(mktemp -d /var/tmp/hl-bench.XXXXXX)
plain_image=$root/plain.img
plain_dir=$root/plain
plain_server=
booted=
mounted=

cleanup() {
  set +e
  if [ -n "$plain_server" ]; then
    umount "$plain_dir" 2>/dev/null || umount -l "$plain_dir"
    wait "$plain_server" 2>/dev/null
  fi
  if [ -n "$mounted" ]; then
    HARBORLOCK_SYSTEM=$root "$vaultdisk" close X: /force >/dev/null
  fi
  if [ -n "$booted" ] && ! "$hlsys" shutdown "$root" >/dev/null; then
    echo "mounted_disk: the kernel of $root did not shut down" >&2
  fi
  # Never delete through a mount that is still there.
  grep -o " $root/[^ ]*" /proc/mounts | sort -r | while read -r point; do umount -l "$point"; done
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

quietly() {
  local output
  if ! output=$("$@" 2>&1); then
    echo "mounted_disk: failed: $*" >&2
    echo "$output" >&2
    exit 1
  fi
}

drop_caches() {
  sync
  echo 3 >/proc/sys/vm/drop_caches
}

# The system, and a new VaultDisk formatted on X:.
quietly "$hlsys" init "$root"
quietly "$hlsys" install "$root" --devices 4
quietly "$hlsys" boot "$root"
booted=1
export HARBORLOCK_SYSTEM=$root
echo "bench-password" | quietly "$vaultdisk" create X: 'C:\bench.vd' $((disk_mib << 20))
mounted=1
quietly "$format" X: /FS:NTFS /Q /Y
quietly "$vaultdisk" write 'X:\ready.txt' ready  # the first file access mounts the volume
vault_dir=$root/mnt/x
[ -f "$vault_dir/ready.txt" ] || { echo "mounted_disk: X: is not at $vault_dir" >&2; exit 1; }

# The plain image beside it, on the same disk.
truncate -s $((disk_mib << 20)) "$plain_image"
quietly mkntfs -F -Q -q -s 4096 -c 4096 "$plain_image"
mkdir "$plain_dir"
ntfs-3g -o no_detach,big_writes,allow_other "$plain_image" "$plain_dir" 2>/dev/null &
plain_server=$!
for _ in $(seq 100); do
  mountpoint -q "$plain_dir" && break
  sleep 0.05
done
mountpoint -q "$plain_dir" || { echo "mounted_disk: ntfs-3g did not mount the image" >&2; exit 1; }

echo "mounted disk benchmark: ${disk_mib} MiB disks, ${file_mib} MiB file, ${random_reads} random 4 KiB reads, $rounds rounds"
echo "$("$disk_io" cipher)"

# The two disks take turns within a round, so each round's ratio compares like with like on a
# busy machine; the summary gives each figure's median over the rounds and the median ratio.
declare -A figures=()
measure() {  # measure KEY DISK_IO_ARGS...: one figure, or the benchmark fails
  local key=$1 value
  shift
  value=$("$disk_io" "$@")
  figures[$key]="${figures[$key]:-} $value"
}
for round in $(seq "$rounds"); do
  for disk in vault plain; do
    dir=${disk}_dir
    rm -f "${!dir}/bench.bin"
    drop_caches
    measure "$disk.write" write "${!dir}/bench.bin" "$file_mib"
  done
  for disk in vault plain; do
    dir=${disk}_dir
    drop_caches
    measure "$disk.read" read "${!dir}/bench.bin"
  done
  for disk in vault plain; do
    dir=${disk}_dir
    drop_caches
    measure "$disk.random" random "${!dir}/bench.bin" "$random_reads"
  done
  echo "round $round: write ${figures[vault.write]##* } / ${figures[plain.write]##* } MB/s," \
    "read ${figures[vault.read]##* } / ${figures[plain.read]##* } MB/s," \
    "random ${figures[vault.random]##* } / ${figures[plain.random]##* } reads/s (VaultDisk / plain)"
done

printf '\n%-26s %14s %14s %7s %6s\n' "median of $rounds rounds" "VaultDisk" "plain image" "ratio" "goal"
row() {  # row LABEL KEY UNIT GOAL
  awk -v label="$1" -v ours="${figures[vault.$2]}" -v peer="${figures[plain.$2]}" -v unit="$3" \
    -v goal="$4" '
    function median(list, n, i, j, t) {
      for (i = 2; i <= n; i++) for (j = i; j > 1 && list[j - 1] > list[j]; j--) {
        t = list[j]; list[j] = list[j - 1]; list[j - 1] = t
      }
      return n % 2 ? list[(n + 1) / 2] : (list[n / 2] + list[n / 2 + 1]) / 2
    }
    BEGIN {
      n = split(ours, o, " "); split(peer, p, " ")
      for (i = 1; i <= n; i++) { r[i] = o[i] / p[i] }
      ratio = median(r, n)
      printf "%-26s %9.1f %-4s %9.1f %-4s %6.2fx %5.2fx %s\n", label, median(o, n), unit,
        median(p, n), unit, ratio, goal, (ratio >= goal ? "met" : "short")
    }'
}
row "sequential write + fsync" write "MB/s" 0.8
row "sequential read" read "MB/s" 0.8
row "random 4 KiB reads" random "/s" 0.7
