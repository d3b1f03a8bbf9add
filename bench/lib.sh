# Pieces the benchmark scripts share: timing, medians, trees, rows, servers. Sourced, not run.

# Wall time of a command in seconds, its output dropped. A failing command is timed like any
# other, unless BENCH_STOP_ON_FAILURE=1: then it is named and the benchmark ends.
timed() {
  local start end rc=0
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || rc=$?
  end=$(date +%s.%N)
  if ((rc)) && [[ ${BENCH_STOP_ON_FAILURE:-0} == 1 ]]; then
    echo "failed: $*" >&2
    exit 1
  fi
  echo "$end - $start" | bc -l
}

# bench_prepare [DRIVER-TARGET]: builds the driver, if any, and the program into $BUILD (Release,
# no tests), sets DRIVER and PROGRAM, and makes $WORK empty, removed again when the script ends.
bench_prepare() {
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKPW_BENCH=ON -DKPW_TESTS=OFF >/dev/null
  if (($#)); then
    cmake --build "$BUILD" --target "$1" >/dev/null
    DRIVER=$BUILD/bench/$1
  fi
  cmake --build "$BUILD" --target kopiwart >/dev/null 2>&1 || true
  PROGRAM=$BUILD/app/kopiwart
  rm -rf "$WORK"
  mkdir -p "$WORK"
  trap 'rm -rf "$WORK"' EXIT
}

median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# make_main_tree FOLDER: the main tree of the job and zip benchmarks: 20,000 files of 1-64 KiB in
# 200 folders on two levels, and 4 files of 256 MiB; random bytes.
make_main_tree() {
  python3 - "$1" <<'PY'
import os, sys, random
root = sys.argv[1]
rnd = random.Random(7)
pool = os.urandom(64 << 10)
for d in range(200):
    folder = os.path.join(root, "group%02d" % (d // 20), "set%03d" % d)
    os.makedirs(folder)
    for f in range(100):
        size = rnd.randint(1 << 10, 64 << 10)
        start = rnd.randint(0, (64 << 10) - size)
        with open(os.path.join(folder, "file%03d.dat" % f), "wb") as out:
            out.write(bytes([d % 256, f % 256]) + pool[start:start + size - 2])
os.makedirs(os.path.join(root, "large"))
block = os.urandom(1 << 20)
for i in range(4):
    with open(os.path.join(root, "large", "big%d.bin" % i), "wb") as out:
        for _ in range(256):
            out.write(block)
PY
}

# ---- pieces of the transfer benchmarks (ftp, sftp, fat) ------------------------------------------

# row SOURCE TARGET: one "Ftp" row, run (the job file lies in $WORK).
row() {
  printf '[EINTRAG]\r\n\tQ:%s\r\n\tZ:%s\r\n\t/UNTER\r\n\t/FTP\r\n/ZEITPLAN=0x0,1\r\n' "$1" "$2" > "$WORK/job.kpw"
  env -u DISPLAY "$PROGRAM" "$WORK/job.kpw" -S -A -N
}
fresh() { rm -rf "$PUB/up" "$WORK/down"; sync; }
same() { cmp -s "$1" "$2" || { echo "copy differs: $2"; exit 1; }; }
same_tree() { diff -r "$1" "$2" >/dev/null || { echo "copy differs: $2"; exit 1; }; }
mibs() { echo "1024 / $1" | bc -l; }

# A TCP port on 127.0.0.1 that is free now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# serving PID PORT: the server PID is stopped and $WORK removed when the script ends; waits up to
# 5 s until PORT takes connections.
serving() {
  # shellcheck disable=SC2064  # the PID is fixed now
  trap "kill $1 2>/dev/null; wait $1 2>/dev/null || true; rm -rf \"\$WORK\"" EXIT
  for _ in $(seq 100); do
    (echo > "/dev/tcp/127.0.0.1/$2") 2>/dev/null && break
    sleep 0.05
  done
}

# make_small_files FOLDER COUNT: COUNT folders setNN of 100 files of 1-16 KiB each, random bytes
# (the first two name the file's folder and number).
make_small_files() {
  python3 - "$1" "$2" <<'PY'
import os, sys, random
root, count = sys.argv[1], int(sys.argv[2])
rnd = random.Random(7)
pool = os.urandom(16 << 10)
for d in range(count):
    folder = os.path.join(root, "set%02d" % d)
    os.makedirs(folder)
    for f in range(100):
        size = rnd.randint(1 << 10, 16 << 10)
        with open(os.path.join(folder, "file%03d.dat" % f), "wb") as out:
            out.write(bytes([d, f % 256]) + pool[:size - 2])
PY
}

# make_transfer_data PUB: $WORK/big/big.bin of 1 GiB and $WORK/small with 5,000 files of 1-16 KiB
# in 50 folders, random bytes; both copied into PUB as the sources of the downloads.
make_transfer_data() {
  echo "Making the data in $WORK ..."
  mkdir -p "$WORK/big"
  head -c $((1 << 30)) /dev/urandom > "$WORK/big/big.bin"
  make_small_files "$WORK/small" 50
  cp -a "$WORK/big" "$1/big"
  cp -a "$WORK/small" "$1/small"
}
