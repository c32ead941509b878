# Sourced by tools/test.sh and tools/busy-test.sh: defines `isolated CMD...`, which runs CMD in a
# mount namespace with a devpts instance of its own and in a PID namespace with its own /proc,
# where this runs as root; elsewhere CMD shares the machine's, and this says so.
private_pts='mount -t devpts -o newinstance,ptmxmode=0666 devpts /dev/pts && mount --bind /dev/pts/ptmx /dev/ptmx'
private_space=(unshare --mount --propagation private --pid --fork --kill-child --mount-proc --)
if [ "$(id -u)" -eq 0 ] && "${private_space[@]}" sh -c "$private_pts" 2>/dev/null; then
    echo "== the test programs run with a private /dev/pts and /proc (namespaces of their own)"
    # Not exec'd: the shell stays process 1 of the namespace and reaps the orphans left to it.
    isolated() { "${private_space[@]}" sh -c "$private_pts"' && "$@"' isolated "$@"; }
else
    if [ "$(id -u)" -ne 0 ]; then why="not run as root"; else why="unshare or the devpts mount was refused"; fi
    echo "== NOTE: the test programs share this machine's /dev/pts and /proc ($why): a pty number"
    echo "   that another process holds or locks can make a test that reopens a pty fail"
    isolated() { "$@"; }
fi
