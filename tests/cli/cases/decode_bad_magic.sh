printf 'not a container, but long enough' >clip.quorvex
"$QX" decode clip.quorvex -o out.splat
status=$?
# No frame file is written.
ls
exit $status
