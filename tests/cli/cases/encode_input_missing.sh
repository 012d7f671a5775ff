"$QX" encode -i no-such-dir -o out.quorvex
status=$?
[[ -e out.quorvex ]] && echo "out.quorvex was written"
exit $status
