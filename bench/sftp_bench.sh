#!/usr/bin/env bash
# SFTP benchmark: "Ftp" rows with sftp:// cells run by "kopiwart FILE -S -A -N" against OpenSSH's
# sshd on 127.0.0.1, medians of 5 runs, warm cache, against OpenSSH's "sftp -b" with the same key:
#   (a) upload and (b) download of one file of 1 GiB (MiB/s);
#   (c) upload and (d) download of 5,000 small files (1-16 KiB in 50 folders; files per second).
# sshd runs as root in the foreground on a free port with its own config, host key and authorized
# key, and is stopped by its PID at the end; both clients log in as root with a generated key.
# Usage: sudo bench/sftp_bench.sh [work folder]   (default /tmp/kpw-sftp-bench; needs about 4 GiB)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=${1:-/tmp/kpw-sftp-bench}
BUILD=${KPW_BENCH_BUILD:-$ROOT/build-sftp-bench}
RUNS=${KPW_BENCH_RUNS:-5}
# shellcheck source=bench/lib.sh
source "$ROOT/bench/lib.sh"

[[ $(id -u) == 0 ]] || { echo "sshd needs root: run as root"; exit 1; }
"$ROOT/scripts/setup.sh" --packages
for tool in sftp ssh-keygen bc python3 /usr/sbin/sshd; do
  command -v $tool >/dev/null || { echo "$tool is missing"; exit 1; }
done

bench_prepare
[[ -x $PROGRAM ]] || { echo "$PROGRAM was not built"; exit 1; }
[[ -e $BUILD/app/libTavrinCommLib.so ]] || { echo "the communication library was not built"; exit 1; }

# ---- the server ------------------------------------------------------------------------------------
ssh-keygen -q -t ed25519 -N "" -f "$WORK/host_key"
ssh-keygen -q -t ed25519 -N "" -f "$WORK/client_key"
cp "$WORK/client_key.pub" "$WORK/authorized_keys"
PORT=$(free_port)
cat > "$WORK/sshd_config" <<EOF
Port $PORT
ListenAddress 127.0.0.1
HostKey $WORK/host_key
PidFile $WORK/sshd.pid
AuthorizedKeysFile $WORK/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
UseDNS no
LogLevel ERROR
Subsystem sftp /usr/lib/openssh/sftp-server
EOF
mkdir -p /run/sshd
/usr/sbin/sshd -D -e -f "$WORK/sshd_config" 2>"$WORK/sshd.log" &
serving $! "$PORT"
PUB=$WORK/pub
mkdir -p "$PUB"
URL=sftp://root@127.0.0.1:$PORT$PUB
# Our library: the key and a known-hosts file of the benchmark's own.
export TAVRIN_SSH_IDENTITY=$WORK/client_key TAVRIN_KNOWN_HOSTS=$WORK/known_hosts
SFTP=(sftp -q -i "$WORK/client_key" -P "$PORT" -o UserKnownHostsFile="$WORK/client_known_hosts"
      -o StrictHostKeyChecking=no -o BatchMode=yes -b "$WORK/batch" root@127.0.0.1)

# ---- the data --------------------------------------------------------------------------------------
make_transfer_data "$PUB"
sync
cat "$WORK/big/big.bin" > /dev/null

# batch COMMANDS: OpenSSH's sftp runs them.
batch() { printf '%s\n' "$@" > "$WORK/batch"; "${SFTP[@]}"; }
per_second() { echo "5000 / $1" | bc -l; }

# (a) upload of 1 GiB.
ours=(); refs=()
for _ in $(seq "$RUNS"); do
  fresh; mkdir -p "$PUB/up"; refs+=("$(timed batch "put $WORK/big/big.bin $PUB/up/big.bin")")
  same "$WORK/big/big.bin" "$PUB/up/big.bin"
  fresh; ours+=("$(timed row "$WORK/big" "$URL/up")")
  same "$WORK/big/big.bin" "$PUB/up/big.bin"
done
a=$(median "${ours[@]}"); c=$(median "${refs[@]}")
printf '(a) upload 1 GiB          Ftp row %7.3f s (%5.0f MiB/s)   sftp -b %7.3f s (%5.0f MiB/s)   throughput vs sftp %.2f\n' \
  "$a" "$(mibs "$a")" "$c" "$(mibs "$c")" "$(echo "$c / $a" | bc -l)"

# (b) download of 1 GiB.
ours=(); refs=()
for _ in $(seq "$RUNS"); do
  fresh; mkdir -p "$WORK/down"; refs+=("$(timed batch "get $PUB/big/big.bin $WORK/down/big.bin")")
  same "$WORK/big/big.bin" "$WORK/down/big.bin"
  fresh; ours+=("$(timed row "$URL/big" "$WORK/down")")
  same "$WORK/big/big.bin" "$WORK/down/big.bin"
done
b=$(median "${ours[@]}"); c=$(median "${refs[@]}")
printf '(b) download 1 GiB        Ftp row %7.3f s (%5.0f MiB/s)   sftp -b %7.3f s (%5.0f MiB/s)   throughput vs sftp %.2f\n' \
  "$b" "$(mibs "$b")" "$c" "$(mibs "$c")" "$(echo "$c / $b" | bc -l)"

# (c) upload of 5,000 small files.
ours=(); refs=()
for _ in $(seq "$RUNS"); do
  fresh; refs+=("$(timed batch "put -r $WORK/small $PUB/up")")
  same_tree "$WORK/small" "$PUB/up"
  fresh; ours+=("$(timed row "$WORK/small" "$URL/up")")
  same_tree "$WORK/small" "$PUB/up"
done
s=$(median "${ours[@]}"); r=$(median "${refs[@]}")
printf '(c) upload 5,000 files    Ftp row %7.3f s (%5.0f files/s)   sftp -b %7.3f s (%5.0f files/s)   rate vs sftp %.2f\n' \
  "$s" "$(per_second "$s")" "$r" "$(per_second "$r")" "$(echo "$r / $s" | bc -l)"

# (d) download of 5,000 small files.
ours=(); refs=()
for _ in $(seq "$RUNS"); do
  fresh; refs+=("$(timed batch "get -r $PUB/small $WORK/down")")
  same_tree "$WORK/small" "$WORK/down"
  fresh; ours+=("$(timed row "$URL/small" "$WORK/down")")
  same_tree "$WORK/small" "$WORK/down"
done
s=$(median "${ours[@]}"); r=$(median "${refs[@]}")
printf '(d) download 5,000 files  Ftp row %7.3f s (%5.0f files/s)   sftp -b %7.3f s (%5.0f files/s)   rate vs sftp %.2f\n' \
  "$s" "$(per_second "$s")" "$r" "$(per_second "$r")" "$(echo "$r / $s" | bc -l)"
