# Frame t of t frames: an error, nothing on standard output, no file written.
"$(dirname "$QX")/quorvex-sample" --out frames --splats 200 --frames 6
"$QX" encode -i frames -o out.quorvex --no-verify 2>/dev/null
"$QX" decode out.quorvex --frame 6 -o x.splat
status=$?
[[ -e x.splat ]] && echo "x.splat was written"
exit $status
