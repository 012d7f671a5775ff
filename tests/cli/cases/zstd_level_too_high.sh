"$QX" encode -i frames -o out.quorvex --zstd-level 23
