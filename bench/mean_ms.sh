# Sourced by the benchmark scripts, which set $runs.
# Mean wall milliseconds of running "$@" $runs times.
mean_ms() {
    local start end
    start=$(date +%s%N)
    for _ in $(seq "$runs"); do "$@" >/dev/null || true; done
    end=$(date +%s%N)
    echo $(( (end - start) / runs / 1000 ))e-3 | awk '{printf "%.2f", $1}'
}
