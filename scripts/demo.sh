#!/usr/bin/env bash
# Generates a sample sequence and encodes it (with the verification pass).
set -euo pipefail
bin=${1:-build/release}
sample=${2:-build/sample}
if [ -x "$bin/quorvex-sample" ]; then
  "$bin/quorvex-sample" --splats 20000 --frames 30 --seed 1 --out "$sample/frames"
  "$bin/quorvex" encode -i "$sample/frames" -o "$sample/sample.quorvex" --report "$sample/report.json"
  "$bin/quorvex" info "$sample/sample.quorvex" | tail -n 1
else
  echo "the sample generator is not built yet; showing the command line instead"
  "$bin/quorvex" --help
fi
