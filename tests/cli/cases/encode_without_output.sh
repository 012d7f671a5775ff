"$QX" encode -i frames
