"""What the scripts in bench/ share: building their programs, and finding sorvo-record and
ports it can serve on."""
import os
import socket
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The library gives the director this port whatever the recorder's --ports say.
DIRECTOR_PORT = 8050


def fail(script, message):
    print("%s: %s" % (script, message), file=sys.stderr)
    sys.exit(1)


def port_free(port):
    with socket.socket() as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(("0.0.0.0", port))
            return True
        except OSError:
            return False


def free_port_base(first, cameras):
    """A --ports base from `first` up whose camera ports (base+1 ...) and sound port
    (base+10) are free, or None."""
    offsets = list(range(1, cameras + 1)) + [10]
    for base in range(first, 60000, 20):
        if all(port_free(base + offset) for offset in offsets):
            return base
    return None


def build_targets(build, targets):
    """Builds the targets in `build`, configuring it first when it is not yet."""
    if not os.path.exists(os.path.join(build, "build.ninja")):
        subprocess.run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja"], check=True,
                       stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2", "--target"] + targets, check=True,
                   stdout=subprocess.DEVNULL)


def build_recorder(build):
    """Builds sorvo-record in `build` (configuring it first when needed); its path."""
    build_targets(build, ["sorvo-record"])
    path = os.path.join(build, "tools", "sorvo-record")
    return path if os.access(path, os.X_OK) else None
