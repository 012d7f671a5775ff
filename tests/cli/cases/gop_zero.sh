"$QX" encode -i frames -o out.quorvex --gop 0
