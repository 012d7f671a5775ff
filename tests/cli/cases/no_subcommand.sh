# Only the end-of-options marker: no subcommand was given.
"$QX" --
