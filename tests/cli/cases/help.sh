"$QX" --help
