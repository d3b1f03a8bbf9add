#!/usr/bin/env bash
# Builds Kopiwart and runs the bundled example job file unattended.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" --target kopiwart "$root/build"

export KPW_DEMO_TARGET="$root/build/demo-output"
echo "Starte: kopiwart examples/demo.kpw -S -A -N"
set +e
"$root/build/app/kopiwart" "$root/examples/demo.kpw" -S -A -N
rc=$?
set -e
echo "Ergebnis (Exit-Code $rc): $KPW_DEMO_TARGET"
exit $rc
