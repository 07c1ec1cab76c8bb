# Sourced by the demo and the benchmarks.
# Waits up to $1 tenths of a second for the command that follows to succeed.
wait_for() {
    tries=$1; shift
    while [ "$tries" -gt 0 ]; do
        "$@" && return 0
        tries=$((tries - 1)); sleep 0.1
    done
    return 1
}
