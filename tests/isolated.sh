#!/bin/sh
# Runs a suite in PID, IPC, mount and network namespaces of its own where the machine allows it
# (as root): the processes named "Trelvox.exe" it ends, the segment "Download_inf" it writes and
# the ports it binds are then its own, whatever other suites or checkouts run beside it. Elsewhere
# it runs the suite as it is.
if command -v ip > /dev/null && unshare --pid --ipc --mount --net --fork --kill-child --mount-proc true 2> /dev/null; then
    exec unshare --pid --ipc --mount --net --fork --kill-child --mount-proc sh -c 'ip link set lo up && exec "$@"' isolated "$@"
fi
exec "$@"
