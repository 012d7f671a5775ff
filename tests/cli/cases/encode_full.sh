# A normal encode of a sequence where every attribute moves somewhere: every stream row,
# the size lines and the verify block ending in VERIFIED.
"$(dirname "$QX")/quorvex-sample" --out frames --splats 200 --frames 6 --flavour moving
"$QX" encode -i frames -o out.quorvex
