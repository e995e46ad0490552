# Sourced by the tests that bind a table over /proc/interrupts, which takes a
# private mount namespace inside a user namespace (unshare -rm). Where those
# are not permitted (a chroot, a default container, a hardened kernel) the
# test says so and ends with 77, which ctest reports as skipped.
userns() { unshare -rm true 2>/dev/null; }
userns_skip_note() {
    echo "SKIP $(basename "$0"): user namespaces are not permitted here (unshare -rm), so no table can be bound over /proc/interrupts${1:+; $1}"
}
skip_without_userns() {
    userns || {
        userns_skip_note
        exit 77
    }
}
