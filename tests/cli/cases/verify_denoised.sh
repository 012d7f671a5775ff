# The denoise is applied from the header's flag: the container verifies against the
# unfiltered source directory.
"$(dirname "$QX")/quorvex-sample" --out frames --splats 200 --frames 6 --flavour moving
"$QX" encode -i frames -o out.quorvex --denoise-colors --no-verify 2>/dev/null
"$QX" verify out.quorvex -i frames
