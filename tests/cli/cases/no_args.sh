"$QX"
