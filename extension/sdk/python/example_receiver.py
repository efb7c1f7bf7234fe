#!/usr/bin/env python3
"""Prints every message that arrives on a channel until the sender leaves.
    example_receiver.py CHANNEL [PIPE]
Exit status: 0 when the sender left the channel, 1 when it was lost (the
sender vanished without leaving) or the plug-in went away."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvx_client  # noqa: E402


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    name = argv[1]
    pipe = argv[2] if len(argv) == 3 else kvx_client.DEFAULT_PIPE
    try:
        with kvx_client.Session(pipe) as session:
            channel = session.open_channel(name)
            channel.next_event(30)  # the first notice: the channel has its ID
            print("waiting for a sender on %r (ID %d)" % (name, channel.id), flush=True)
            while True:
                try:
                    packet = channel.receive()  # no time-out: wait for the sender
                except kvx_client.PeerLeft:
                    print("the sender left", flush=True)
                    return 0
                print("received: %s (app value %d)" % (packet.data.decode("utf-8", "replace"), packet.app_value),
                      flush=True)
    except kvx_client.KvxError as error:  # ChannelLost, ConnectionLost, ...
        print("receiver: %s: %s" % (error.code, error), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
