# 7 frames in GOPs of 2: four GOPs, the last one a single frame.
"$(dirname "$QX")/quorvex-sample" --out frames --splats 200 --frames 7
"$QX" encode -i frames -o out.quorvex --gop 2 --no-verify 2>/dev/null
"$QX" info out.quorvex
