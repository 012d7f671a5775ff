"$QX" encode --help
