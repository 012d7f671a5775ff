# The write fails after encoding with the system's message alone; nothing is verified.
"$(dirname "$QX")/quorvex-sample" --out frames --splats 200 --frames 6
"$QX" encode -i frames -o missing/out.quorvex
