# The denoise line sits between the parsed line and the static fractions.
"$(dirname "$QX")/quorvex-sample" --out frames --splats 200 --frames 6 --flavour moving
"$QX" encode -i frames -o out.quorvex --denoise-colors
