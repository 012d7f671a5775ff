"$QX" info --help
