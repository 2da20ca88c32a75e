#!/usr/bin/env bash
# fwimage report on a million records: the time it takes (elapsed, and the
# processor time, which a busy machine does not stretch) and its peak memory.
# The log is generated: 13-column records of 3 images at 6 stations over 90
# days, 400000 serials of which some are retried, every tenth outcome one
# that sent nothing, and a second log of the 10-column form.
#
#   bench/report.sh [FWIMAGE]
#
# FWIMAGE: default build/release/cli/fwimage, built here with the release
# preset when missing. Environment: RECORDS (default 1000000), RUNS (3).
set -euo pipefail

export LC_ALL=C
repo=$(cd "$(dirname "$0")/.." && pwd)
fwimage=${1:-$repo/build/release/cli/fwimage}
RECORDS=${RECORDS:-1000000}
RUNS=${RUNS:-3}
if [ ! -x "$fwimage" ]; then
  (cd "$repo" && cmake --preset release >/dev/null && cmake --build --preset release -j 2 --target fwimage >/dev/null)
fi
tmp=$(mktemp -d "${TMPDIR:-/tmp}/bench-report.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

python3 - "$RECORDS" "$tmp" <<'PY'
import random, sys
records, tmp = int(sys.argv[1]), sys.argv[2]
rnd = random.Random(31)
shas = ["%064x" % rnd.getrandbits(256) for _ in range(3)]
outcomes = ["done"] * 80 + ["transfer-failed"] * 6 + ["loader-refused"] * 3 + ["return-failed"] * 1 + \
           ["declined", "busy", "wrong-image", "interrupted", "not-asked"] * 2
head = "\ufeffUTC time\tFile\tSize (hex)\tSum (hex)\tOutcome\tExit code\tSHA-256\tSeconds\tTool\tUnit"
old_count = records // 10
with open(tmp + "/new.tsv", "w", newline="") as new, open(tmp + "/old.tsv", "w", newline="") as old:
    new.write(head + "\tSerial\tStation\tOperator\r\n")
    old.write(head + "\r\n")
    for i in range(records):
        image = rnd.randrange(3)
        day, second = 1 + i * 90 // records, rnd.randrange(86400)
        time = "2026-%02d-%02dT%02d:%02d:%02dZ" % (1 + (day - 1) // 30, 1 + (day - 1) % 30,
                                                   second // 3600, second // 60 % 60, second % 60)
        cols = [time, "D:\\fw\\release-%d.hex" % image, "1E05", "ADE3", rnd.choice(outcomes), "0", shas[image],
                "12", "fwimage 1.2.0", str(i % 1000)]
        if i < old_count:
            old.write("\t".join(cols) + "\r\n")
        else:
            station = rnd.randrange(6)
            cols += ["SN-%07d" % rnd.randrange(400000), "ST-%d" % station, "operator-%d" % station]
            new.write("\t".join(cols) + "\r\n")
PY
size=$(du -ch "$tmp"/*.tsv | tail -1 | cut -f1)
echo "fwimage report on $RECORDS records ($size in two logs), $RUNS runs: $fwimage"
for ((run = 1; run <= RUNS; run++)); do
  /usr/bin/time -f '%e s elapsed (%U s user, %S s system), peak memory %M KiB' -o "$tmp/time" \
    "$fwimage" report --json "$tmp/old.tsv" "$tmp/new.tsv" >"$tmp/out.jsonl"
  echo "  run $run: $(cat "$tmp/time")"
done
tail -1 "$tmp/out.jsonl" | cut -c1-200
