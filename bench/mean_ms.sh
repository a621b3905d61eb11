# Sourced by the whole-program benchmarks. mean_ms CMD...: the mean wall milliseconds of
# running the command $runs times.
mean_ms() {
    local start end
    start=$(date +%s%N)
    for _ in $(seq "$runs"); do "$@" >/dev/null || true; done
    end=$(date +%s%N)
    echo $(( (end - start) / runs / 1000 ))e-3 | awk '{printf "%.2f", $1}'
}
