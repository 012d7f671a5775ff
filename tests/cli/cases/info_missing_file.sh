"$QX" info missing.quorvex 
