# Splat 0's red byte moved by 128 levels in every frame (so its static/dynamic pattern and the
# splat order stay as they were): the lines are printed, then status 1 with no error text.
"$(dirname "$QX")/quorvex-sample" --out frames --splats 200 --frames 6
"$QX" encode -i frames -o out.quorvex --no-verify 2>/dev/null
red=$(od -An -tu1 -j24 -N1 frames/frame_00000.splat | tr -d ' ')
new=$(( (red + 128) % 256 ))
for f in frames/*.splat; do
    printf "$(printf '\\%03o' "$new")" | dd of="$f" bs=1 seek=24 count=1 conv=notrunc status=none
done
"$QX" verify out.quorvex -i frames
