#!/usr/bin/env bash
# FTP benchmark: "Ftp" rows run by "kopiwart FILE -S -A -N" against vsftpd on 127.0.0.1, medians of
# 5 runs, warm cache:
#   (a) upload and (b) download of one file of 1 GiB, against curl;
#   (c) upload and (d) download of 5,000 small files (1-16 KiB in 50 folders), against
#       lftp mirror (-R) --parallel=1, in lftp's passive mode and in the active mode that Ftp
#       rows use.
# vsftpd runs as root in the foreground on a free port and is stopped by its PID at the end.
# Usage: sudo bench/ftp_bench.sh [work folder]   (default /tmp/kpw-ftp-bench; needs about 4 GiB)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=${1:-/tmp/kpw-ftp-bench}
BUILD=${KPW_BENCH_BUILD:-$ROOT/build-ftp-bench}
RUNS=5
# shellcheck source=bench/lib.sh
source "$ROOT/bench/lib.sh"

[[ $(id -u) == 0 ]] || { echo "vsftpd needs root: run as root"; exit 1; }
# The peers of the benchmark (lftp only the benchmark needs): installed when missing.
"$ROOT/scripts/setup.sh" --packages
for tool in curl lftp bc python3 /usr/sbin/vsftpd; do
  command -v $tool >/dev/null || { echo "$tool is missing"; exit 1; }
done

bench_prepare
[[ -x $PROGRAM ]] || { echo "$PROGRAM was not built"; exit 1; }

# ---- the server ------------------------------------------------------------------------------------
mkdir -p "$WORK/top/pub" "$WORK/empty"
chmod 755 "$WORK" "$WORK/top"
chown ftp:ftp "$WORK/top/pub"
PORT=$(free_port)
cat > "$WORK/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$PORT
background=NO
anonymous_enable=YES
local_enable=NO
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_umask=022
anon_world_readable_only=NO
no_anon_password=YES
anon_root=$WORK/top
secure_chroot_dir=$WORK/empty
mdtm_write=YES
use_localtime=NO
seccomp_sandbox=NO
xferlog_enable=NO
connect_from_port_20=NO
EOF
/usr/sbin/vsftpd "$WORK/vsftpd.conf" &
serving $! "$PORT"
URL=ftp://anonymous@127.0.0.1:$PORT/pub
PUB=$WORK/top/pub

# ---- the data --------------------------------------------------------------------------------------
make_transfer_data "$PUB"
chown -R ftp:ftp "$PUB"
sync
cat "$WORK/big/big.bin" > /dev/null

# (a) upload of 1 GiB.
ours=(); refs=()
for _ in $(seq $RUNS); do
  fresh; refs+=("$(timed curl -s -T "$WORK/big/big.bin" --ftp-create-dirs "$URL/up/big.bin")")
  same "$WORK/big/big.bin" "$PUB/up/big.bin"
  fresh; ours+=("$(timed row "$WORK/big" "$URL/up")")
  same "$WORK/big/big.bin" "$PUB/up/big.bin"
done
a=$(median "${ours[@]}"); c=$(median "${refs[@]}")
printf '(a) upload 1 GiB        Ftp row %7.3f s (%5.0f MiB/s)   curl %7.3f s (%5.0f MiB/s)   throughput vs curl %.2f\n' \
  "$a" "$(mibs "$a")" "$c" "$(mibs "$c")" "$(echo "$c / $a" | bc -l)"

# (b) download of 1 GiB.
ours=(); refs=()
for _ in $(seq $RUNS); do
  fresh; mkdir -p "$WORK/down"; refs+=("$(timed curl -s -o "$WORK/down/big.bin" "$URL/big/big.bin")")
  same "$WORK/big/big.bin" "$WORK/down/big.bin"
  fresh; ours+=("$(timed row "$URL/big" "$WORK/down")")
  same "$WORK/big/big.bin" "$WORK/down/big.bin"
done
b=$(median "${ours[@]}"); c=$(median "${refs[@]}")
printf '(b) download 1 GiB      Ftp row %7.3f s (%5.0f MiB/s)   curl %7.3f s (%5.0f MiB/s)   throughput vs curl %.2f\n' \
  "$b" "$(mibs "$b")" "$c" "$(mibs "$c")" "$(echo "$c / $b" | bc -l)"

LFTP=(lftp -u anonymous, -p "$PORT" 127.0.0.1)
# (c) upload of 5,000 small files; lftp in its own passive mode and in the rows' active mode.
ours=(); refs=(); actives=()
for _ in $(seq $RUNS); do
  fresh; refs+=("$(timed "${LFTP[@]}" -e "mirror -R --parallel=1 $WORK/small /pub/up; quit")")
  same_tree "$WORK/small" "$PUB/up"
  fresh; actives+=("$(timed "${LFTP[@]}" -e "set ftp:passive-mode off; mirror -R --parallel=1 $WORK/small /pub/up; quit")")
  same_tree "$WORK/small" "$PUB/up"
  fresh; ours+=("$(timed row "$WORK/small" "$URL/up")")
  same_tree "$WORK/small" "$PUB/up"
done
s=$(median "${ours[@]}"); l=$(median "${refs[@]}"); la=$(median "${actives[@]}")
printf '(c) upload 5,000 files   Ftp row %7.3f s   lftp mirror -R %7.3f s (active %7.3f s)   time vs lftp %.2f (active %.2f)\n' \
  "$s" "$l" "$la" "$(echo "$s / $l" | bc -l)" "$(echo "$s / $la" | bc -l)"

# (d) download of 5,000 small files, the same ways.
ours=(); refs=(); actives=()
for _ in $(seq $RUNS); do
  fresh; refs+=("$(timed "${LFTP[@]}" -e "mirror --parallel=1 /pub/small $WORK/down; quit")")
  same_tree "$WORK/small" "$WORK/down"
  fresh; actives+=("$(timed "${LFTP[@]}" -e "set ftp:passive-mode off; mirror --parallel=1 /pub/small $WORK/down; quit")")
  same_tree "$WORK/small" "$WORK/down"
  fresh; ours+=("$(timed row "$URL/small" "$WORK/down")")
  same_tree "$WORK/small" "$WORK/down"
done
s=$(median "${ours[@]}"); l=$(median "${refs[@]}"); la=$(median "${actives[@]}")
printf '(d) download 5,000 files Ftp row %7.3f s   lftp mirror    %7.3f s (active %7.3f s)   time vs lftp %.2f (active %.2f)\n' \
  "$s" "$l" "$la" "$(echo "$s / $l" | bc -l)" "$(echo "$s / $la" | bc -l)"
