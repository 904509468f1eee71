# Sourced by the window tests. wait_for CMD...: runs CMD until it succeeds,
# polling, for up to 60 s; a loaded machine is slow, never wrong.
wait_for() {
    local until=$((SECONDS + 60))
    until "$@"; do
        ((SECONDS < until)) || return 1
        sleep 0.02
    done
}
