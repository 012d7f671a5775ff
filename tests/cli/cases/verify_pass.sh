# Six lines on standard output, bounds from the header; nothing on standard error.
"$(dirname "$QX")/quorvex-sample" --out frames --splats 200 --frames 6 --flavour moving
"$QX" encode -i frames -o out.quorvex --no-verify 2>/dev/null
"$QX" verify out.quorvex -i frames
