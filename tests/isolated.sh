#!/bin/sh
# Runs a suite in PID, IPC, mount and network namespaces of its own where the machine allows it
# (as root): the processes named "Trelvox.exe" it ends, the segment "Download_inf" it writes and
# the ports it binds are then its own, whatever other suites or checkouts run beside it. Elsewhere
# it runs the suite as it is.
if command -v ip > /dev/null && unshare --pid --ipc --mount --net --fork --kill-child --mount-proc true 2> /dev/null; then
    # A temporary folder of its own as well, open to all as /tmp is: Qt names the segment's System V
    # key after a file in it, and a suite beside this one removing that file would hand the updater
    # another key.
    exec unshare --pid --ipc --mount --net --fork --kill-child --mount-proc sh -c \
        'ip link set lo up && TMPDIR=$(mktemp -d) && chmod 1777 "$TMPDIR" && export TMPDIR && "$@"; status=$?; rm -rf "$TMPDIR"; exit $status' \
        isolated "$@"
fi
exec "$@"
