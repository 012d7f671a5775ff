"$QX" verify f.quorvex
