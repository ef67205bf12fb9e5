#!/usr/bin/python3
# An assistive-technology client for the benchmark, as a screen reader is one: it finds the
# application of the given process on the accessibility bus, walks its whole accessible tree
# (name, role and state of every object), subscribes to every object event and reads them.
# With --slow-ms it takes that long over each event, as a busy screen reader does; the events
# then wait in the bus for it.
#
# Usage: a11y_listener.py --pid PID --ready FILE [--slow-ms N] [--timeout S]
# Writes "objects=N" to FILE once the tree is walked and the events are subscribed, and
# "events=N" to standard output when it ends (SIGTERM, SIGINT or the timeout).
#
# Needs the session bus of the application (DBUS_SESSION_BUS_ADDRESS) and the Debian packages
# at-spi2-core and gir1.2-atspi-2.0 (run with Debian's own python3, which has gi).
import argparse
import signal
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402


def find_application(pid, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            try:
                if app is not None and app.get_process_id() == pid:
                    return app
            except GLib.Error:
                continue
        time.sleep(0.1)
    return None


def walk(node, depth=0):
    """Reads what a screen reader reads of every object; the number of objects."""
    if node is None or depth > 50:
        return 0
    node.get_name()
    node.get_role_name()
    node.get_state_set()
    count = 1
    for i in range(node.get_child_count()):
        count += walk(node.get_child_at_index(i), depth + 1)
    return count


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pid", type=int, required=True)
    parser.add_argument("--ready", required=True)
    parser.add_argument("--slow-ms", type=float, default=0)
    parser.add_argument("--timeout", type=float, default=600)
    args = parser.parse_args()

    app = find_application(args.pid, 10)
    if app is None:
        print(f"a11y_listener: no application of process {args.pid} on the bus", file=sys.stderr)
        return 1
    objects = walk(app)

    events = 0
    stopping = False

    def on_event(event):
        nonlocal events
        if stopping:
            return
        events += 1
        # What a reader looks at before it speaks.
        if event.source is not None:
            event.source.get_name()
        if args.slow_ms > 0:
            time.sleep(args.slow_ms / 1000)

    listener = Atspi.EventListener.new(on_event)
    listener.register("object:")

    # Python's own handler: it runs at the next event read, so a stop does not wait until the
    # events queued for a slow reader are all read.
    def stop(*_):
        nonlocal stopping
        stopping = True
        Atspi.event_quit()
        return GLib.SOURCE_REMOVE

    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, stop)
    # Gives Python a turn now and then while no event comes, for the handler to run.
    GLib.timeout_add(100, lambda: GLib.SOURCE_CONTINUE)
    GLib.timeout_add(int(args.timeout * 1000), stop)
    with open(args.ready, "w") as ready:
        ready.write(f"objects={objects}\n")
    Atspi.event_main()
    print(f"events={events}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
