# n records of 32 bytes for the requested frame.
"$(dirname "$QX")/quorvex-sample" --out frames --splats 200 --frames 6
"$QX" encode -i frames -o out.quorvex --no-verify 2>/dev/null
"$QX" decode out.quorvex --frame 5 -o x.splat
wc -c <x.splat
