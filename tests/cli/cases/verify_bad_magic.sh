printf 'not a container, but long enough' >clip.quorvex
"$QX" verify clip.quorvex -i .
