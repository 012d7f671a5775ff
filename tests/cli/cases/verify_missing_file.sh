"$QX" verify missing.quorvex -i .
