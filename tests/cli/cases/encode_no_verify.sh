# No verify block; the report still gets written, after the times line.
"$(dirname "$QX")/quorvex-sample" --out frames --splats 200 --frames 6
"$QX" encode -i frames -o out.quorvex --no-verify --report report.json
