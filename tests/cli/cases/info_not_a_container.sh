printf 'not a container' >bad.quorvex
"$QX" info bad.quorvex
