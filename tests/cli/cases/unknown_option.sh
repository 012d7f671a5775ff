"$QX" info f.quorvex --verbose
