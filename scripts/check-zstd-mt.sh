#!/usr/bin/env bash
# Fails unless the zstd library we link accepts ZSTD_c_nbWorkers > 0 (multi-threaded build).
set -euo pipefail
dir=$(mktemp -d); trap 'rm -rf "$dir"' EXIT
cat > "$dir/probe.c" <<'C'
#include <stdio.h>
#include <zstd.h>
int main(void) {
    ZSTD_CCtx* c = ZSTD_createCCtx();
    size_t r = ZSTD_CCtx_setParameter(c, ZSTD_c_nbWorkers, 2);
    ZSTD_freeCCtx(c);
    if (ZSTD_isError(r)) { fprintf(stderr, "zstd without multi-threading: %s\n", ZSTD_getErrorName(r)); return 1; }
    return 0;
}
C
cc "$dir/probe.c" -o "$dir/probe" -lzstd && "$dir/probe"
