"$QX" transmogrify
