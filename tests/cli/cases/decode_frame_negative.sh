"$QX" decode f.quorvex -o x.splat --frame -1
