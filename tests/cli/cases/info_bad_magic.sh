printf 'not a container, but long enough' >clip.quorvex
"$QX" info clip.quorvex 
