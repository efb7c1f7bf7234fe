#!/usr/bin/env python3
"""Writes the small seed corpora of the fuzzers (fuzz/*/corpus/).

Run from anywhere; the files are committed, so this is only needed when the
seeds change. Each seed is a few dozen bytes that reach one interesting path.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def varint(n):
    n &= (1 << 64) - 1
    out = b""
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out += bytes([b | 0x80])
        else:
            return out + bytes([b])


def field(number, wire, payload):
    tag = varint((number << 3) | wire)
    if wire == 0:
        return tag + varint(payload)
    return tag + varint(len(payload)) + payload


def msg(number, body):
    return field(number, 2, body)


def request(body):
    return msg(20, body)


def response(body):
    return msg(30, body)


def write(folder, name, data):
    path = os.path.join(HERE, folder, "corpus")
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, name), "wb") as f:
        f.write(data)


# KVX messages: one of each kind, plus the awkward corners of the wire format.
connect = request(field(1, 0, 7) + msg(11, field(1, 2, b"chat") +
                  msg(3, field(1, 0, 1) + field(2, 2, b"app://x"))))
notice = response(msg(11, field(1, 2, b"ab") + field(2, 0, -1) + field(3, 0, 22)))
transfer = request(msg(20, field(1, 0, 3) + field(2, 0, -5) + field(3, 2, b"\x00\xff data")) +
                   field(99, 0, 1))
kvx = {
    "empty": b"",
    "connect_launch": connect,
    "notice_lost": notice,
    "transfer_unknown_field": transfer,
    "property": request(msg(30, field(1, 2, b"KVXCoreType"))),
    "disconnect": request(msg(12, field(1, 0, 4))),
    "two_members": request(msg(11, field(1, 2, b"A")) + msg(20, field(1, 0, 1))),
    "wrong_wire_type": request(field(11, 0, 5)),
    "truncated": connect[:-3],
}
for name, data in kvx.items():
    write("kvx_message", name, data)

# The routing look starts from the same units, plus merges, groups and
# nesting, where it must still agree with the full parse.
group = field(7, 3, b"")[:-1] + field(1, 0, 9) + varint((7 << 3) | 4)
kinds = dict(kvx)
kinds.update({
    "merged_transfer": request(msg(20, field(1, 0, 5))) + request(msg(20, field(3, 2, b"x"))),
    "switched_content": request(msg(20, field(1, 0, 5))) + response(b"") + request(msg(20, b"")),
    "unknown_group": request(msg(12, field(1, 0, 2) + group)),
    "deep_launch": request(msg(11, msg(3, group * 3 + field(2, 2, b"l")))),
    # At the limits: a five-byte tag, a ten-byte varint, a five-byte length,
    # groups nested as deep as a unit may nest.
    "long_tag": request(msg(20, b"\x88\x80\x80\x80\x00" + varint(-1))),
    "long_length": request(msg(30, b"\x0a\x81\x80\x80\x80\x00n")),
    "deepest": request(msg(11, msg(3, varint((7 << 3) | 3) * 97 + varint((7 << 3) | 4) * 97))),
})
for name, data in kinds.items():
    write("message_kind", name, data)

# Bridge programs: op byte = (kind << 1) | end, end 0 = server, 1 = client.
def op(kind, end, *args):
    return bytes([(kind << 1) | end] + list(args))

CONNECT, DISCONNECT, DATA, PROPERTY, LEAVE, DELIVER, DROP, RAW_PIPE, RAW_PEER, LAUNCH = range(10)
rendezvous_server_first = (op(LAUNCH, 0, 2, 0) + op(DELIVER, 0) + op(DELIVER, 1) +
                           op(CONNECT, 1, 0, 0) + op(DELIVER, 1) + op(DELIVER, 0) +
                           op(DATA, 0, 2, 1, 3, 1, 2, 3) + op(DELIVER, 0) +
                           op(DATA, 1, 0, 1, 2, 9, 9) + op(DELIVER, 1))
rendezvous_client_first = (op(CONNECT, 1, 4, 2) + op(DELIVER, 1) + op(DELIVER, 0) +
                           op(CONNECT, 0, 3, 2) + op(DELIVER, 0) + op(DELIVER, 1) +
                           op(DISCONNECT, 0, 3, 1) + op(DELIVER, 0) + op(LEAVE, 1, 4) +
                           op(DELIVER, 1))
bridge = {
    "rendezvous_server_first": rendezvous_server_first,
    "rendezvous_client_first": rendezvous_client_first,
    "departures": (op(CONNECT, 0, 1, 0) + op(CONNECT, 0, 1, 1) + op(CONNECT, 1, 5, 0) +
                   op(LEAVE, 0, 1) + op(DELIVER, 0) + op(DROP, 1) + op(PROPERTY, 1, 5, 0) +
                   op(LEAVE, 1, 5)),
    "raw_bytes": (op(CONNECT, 1, 0, 1) + op(RAW_PIPE, 0, 2, len(notice)) + notice +
                  op(RAW_PEER, 1, len(transfer)) + transfer + op(DELIVER, 0)),
}
for name, data in bridge.items():
    write("bridge", name, data)

# Datagram programs: kind byte = (clock step << 4) | flags; flags 0x0F = wake,
# else 0x08 sequence as a word, 0x04 last fragment set (0x02: as a word),
# 0x01 a length lie. Then the sequence, (the last word,) the payload length
# and the payload, (the lie).
def dgram(seq, last, payload, lie=None):
    kind = 0x10 | (0x04 if last else 0) | (0x01 if lie is not None else 0)
    out = bytes([kind, seq, len(payload)]) + payload
    if lie is not None:
        out += bytes(lie)
    return out

wake = bytes([0x2F])
reassembly = {
    "one_message": wake + dgram(0, False, b"hello ") + dgram(1, False, b"over ") +
                   dgram(2, True, b"there"),
    "abandoned_then_whole": dgram(0, False, b"lost") + dgram(0, True, b"whole"),
    "gap": dgram(0, False, b"a") + dgram(2, True, b"c") + dgram(1, True, b"b") +
           dgram(0, True, b"ok"),
    "length_lie": dgram(0, False, b"abc", lie=[1, 200]) + dgram(1, True, b"d") +
                  dgram(0, True, b"fine") + dgram(0, True, b"xy", lie=[0, 0xFF, 0xFF, 0xFF, 0x7F]),
    "short_read": dgram(0, True, b"abcdef", lie=[2, 9]) + dgram(0, True, b"") + wake,
    "big_sequence": bytes([0x1C]) + struct.pack("<I", 0xFFFFFFFF) + b"\x01z" + dgram(0, True, b"q"),
}
for name, data in reassembly.items():
    write("reassembly", name, data)
