"$QX" encode -i frames -o out.quorvex --pos-mm abc
