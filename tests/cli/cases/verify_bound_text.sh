# encode prints the option values; verify recomputes the bounds from the stored fractions,
# so 0.5 mm comes back as 0.5 but 3.7 % as the f64 product (3.7 / 100) * 100.
"$(dirname "$QX")/quorvex-sample" --out frames --splats 200 --frames 6
"$QX" encode -i frames -o out.quorvex --pos-mm 0.5 --scale-pct 3.7 2>encode.log
echo "encode status $?"
grep -E '^  (pos|scale) ' encode.log
"$QX" verify out.quorvex -i frames
