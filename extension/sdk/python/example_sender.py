#!/usr/bin/env python3
"""Sends COUNT messages on a channel once an application at the other end
holds it too, then leaves the channel.
    example_sender.py CHANNEL COUNT [PIPE]"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvx_client  # noqa: E402


def main(argv):
    if len(argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 2
    name, count = argv[1], int(argv[2])
    pipe = argv[3] if len(argv) == 4 else kvx_client.DEFAULT_PIPE
    try:
        with kvx_client.Session(pipe) as session:
            channel = session.open_channel(name)
            channel.wait_connected(30)
            for i in range(1, count + 1):
                channel.send(("message %d of %d from Python" % (i, count)).encode(), app_value=i)
            # Everything sent before the disconnect reaches the receiver first.
            channel.disconnect()
            print("sent %d messages on %r (ID %d)" % (count, name, channel.id))
            return 0
    except kvx_client.KvxError as error:
        print("sender: %s: %s" % (error.code, error), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
