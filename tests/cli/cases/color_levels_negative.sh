"$QX" encode -i frames -o out.quorvex --color-levels -1
