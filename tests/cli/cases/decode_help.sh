"$QX" decode -h
