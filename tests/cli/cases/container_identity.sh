# Container bytes for a fixed set of generated sequences and options. The expected digests were
# written by the encoder as it was before any performance work; every later change to the order
# of work must keep the files bit-identical.
sample="$(dirname "$QX")/quorvex-sample"
"$sample" --out moving --splats 3000 --frames 20 --seed 7 --flavour moving >/dev/null
"$sample" --out static --splats 5000 --frames 12 --seed 3 --fps 24 >/dev/null
"$QX" encode -i moving -o moving_gop7.quorvex --gop 7 --no-verify --perm-out moving.perm >/dev/null 2>&1
"$QX" encode -i moving -o moving_fine.quorvex --gop 1 --pos-mm 0.25 --color-levels 0 --rot-steps 3 --scale-pct 0.5 --no-verify >/dev/null 2>&1
"$QX" encode -i moving -o moving_level0.quorvex --zstd-level 0 --no-verify >/dev/null 2>&1
"$QX" encode -i static -o static.quorvex --no-verify --perm-out static.perm >/dev/null 2>&1
"$QX" encode -i static -o static_denoise.quorvex --gop 5 --denoise-colors --zstd-level 1 --no-verify >/dev/null 2>&1
sha256sum moving_gop7.quorvex moving.perm moving_fine.quorvex moving_level0.quorvex static.quorvex static.perm static_denoise.quorvex
