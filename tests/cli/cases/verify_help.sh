"$QX" verify --help
