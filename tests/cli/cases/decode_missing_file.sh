"$QX" decode missing.quorvex -o out.splat
status=$?
ls
exit $status
