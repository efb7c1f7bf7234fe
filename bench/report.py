#!/usr/bin/env python3
"""Prints the tables of scripts/bench from the "FIGURE name value unit" lines
that the benchmark programs wrote: each end-to-end figure as a share of the
null chain's (the floor of this design on the same transports), and beside
the older ceilings of each transport alone; then, for each file of figures
over an emulated link, what the link allows.

    report.py FIGURES [LINK_FIGURES ...]"""
import sys


def load(path):
    found = {}
    for line in open(path):
        parts = line.split()
        if len(parts) == 4 and parts[0] == "FIGURE":
            name, value, unit = parts[1], float(parts[2]), parts[3]
            # A ceiling or the chain is what the machine can do at all: of
            # repeated runs the best one counts (highest rate, lowest time).
            if name.startswith(("ceiling.", "chain.")) and name in found:
                value = min(value, found[name]) if unit == "us" else max(value, found[name])
            found[name] = value
    return found


figures = {}


def get(name):
    return figures.get(name)


def fmt(value, unit):
    if value is None:
        return "-"
    if unit == "msg/s":
        return f"{value:,.0f} msg/s"
    if unit == "MB/s":
        return f"{value:,.1f} MB/s"
    if unit == "us":
        return f"{value:,.1f} us"
    if unit == "MiB":
        return f"{value:,.1f} MiB"
    return f"{value:g}"


def ratio(a, b):
    return "-" if a is None or not b else f"{a / b:.2f}"


rows = []  # (what, end to end, ceiling name, ceiling, ratio, target)
def row(what, e2e, unit, ceil_label, ceil, ceil_unit, target, invert=False):
    r = "-" if e2e is None or not ceil else (f"{e2e / ceil:.2f}x" if invert else f"{e2e / ceil:.1%}")
    rows.append((what, fmt(e2e, unit), ceil_label, fmt(ceil, ceil_unit), r, target))

def verdict(ok):
    return "met" if ok else "not met"


def table(headers, rows):
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(headers)]
    print("  ".join(h.ljust(w) for h, w in zip(headers, widths)))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)))


def total(*names):
    values = [get(n) for n in names]
    return None if any(v is None for v in values) else sum(values)


# Against the floor: the null chain of four processes on the same transports,
# measured in the same run. Rates are shares of the chain's, times and CPU
# multiples of it.
floor_rows = []
def floor_row(what, e2e, chain, unit, target=None, share=True):
    q = None if e2e is None or not chain else e2e / chain
    r = "-" if q is None else (f"{q:.1%}" if share else f"{q:.2f}x")
    v = ""
    if target is not None:
        v = (f">= {target:.0%}: " if share else f"<= {target:g}x: ") + \
            ("-" if q is None else verdict(q >= target if share else q <= target))
    floor_rows.append((what, fmt(e2e, unit), fmt(chain, unit), r, v))


def floor_table():
    floor_row("1 KiB one way", get("e2e.oneway.1k.msgps"), get("chain.oneway.1k.msgps"), "msg/s", 0.60)
    floor_row("64 KiB one way", get("e2e.oneway.64k.mbps"), get("chain.oneway.64k.mbps"), "MB/s")
    floor_row("1 MiB one way", get("e2e.oneway.1m.mbps"), get("chain.oneway.1m.mbps"), "MB/s", 0.75)
    floor_row("1 KiB round trip p50", get("e2e.roundtrip.1k.p50"), get("chain.roundtrip.1k.p50"), "us", 2,
              share=False)
    floor_row("1 KiB round trip p99", get("e2e.roundtrip.1k.p99"), get("chain.roundtrip.1k.p99"), "us", share=False)
    floor_row("CPU per 1 KiB msg: hosts / relays", total("e2e.cpu.server.1k.per_msg", "e2e.cpu.client.1k.per_msg"),
              get("chain.cpu.relays.1k.per_msg"), "us", 2, share=False)
    floor_row("CPU per MiB (1 MiB msgs): hosts / relays",
              total("e2e.cpu.server.1m.per_mib", "e2e.cpu.client.1m.per_mib"),
              get("chain.cpu.relays.1m.per_mib"), "us", 1.5, share=False)
    floor_row("CPU per 1 KiB msg: SDK apps / bare apps", get("e2e.cpu.apps.1k.per_msg"),
              get("chain.cpu.apps.1k.per_msg"), "us", 2, share=False)
    floor_row("CPU per MiB (64 KiB msgs): SDK apps / bare", get("e2e.cpu.apps.64k.per_mib"),
              get("chain.cpu.apps.64k.per_mib"), "us", share=False)
    print()
    print("Against the floor: a null chain of four processes on the same transports (application, pipe wire,\n"
          "relay, datagram link, relay, pipe wire, application; the relays only forward), same run")
    table(("figure", "end to end", "null chain", "share", "target"), floor_rows)
    # What the round trip cannot shed: each way, a message crosses four thread
    # hand-offs that the chain's single-threaded relays and bare applications
    # do not make: the pipe's reader to the pipe worker; the host's ready
    # callback to the plug-in's receive thread, which alone reads datagrams;
    # the receive thread to the PCoIP worker; the SDK's reader to the caller
    # waiting in Receive.
    hop, chain_rt = get("chain.handoff.p50"), get("chain.roundtrip.1k.p50")
    if hop and chain_rt:
        floor = chain_rt + 8 * hop
        print(f"One thread hand-off (an auto-reset event waking a sleeping thread) takes {hop:.1f} us here (p50, two\n"
              f"threads alone). The round trip makes eight the chain does not, so with this thread model its floor\n"
              f"is about {chain_rt:.1f} + 8 x {hop:.1f} = {floor:.1f} us, {floor / chain_rt:.2f}x the chain's.")


def plain_tables():
    # Each target is a ratio to a ceiling measured in the same run.
    msg1k, dg1k = get("e2e.oneway.1k.msgps"), get("ceiling.dgram.1k.dgps")
    row("1 KiB one way", msg1k, "msg/s", "datagrams of its size", dg1k, "msg/s",
        ">= 50% of link: " + verdict(msg1k and dg1k and msg1k >= 0.5 * dg1k))
    row("1 KiB one way", msg1k, "msg/s", "stream 1 KiB", get("ceiling.stream.1k.msgps"), "msg/s", "")
    row("1 KiB one way", get("e2e.oneway.1k.mbps"), "MB/s", "stream 1 KiB", get("ceiling.stream.1k.mbps"), "MB/s", "")
    row("64 KiB one way", get("e2e.oneway.64k.mbps"), "MB/s", "stream 64 KiB", get("ceiling.stream.64k.mbps"), "MB/s", "")
    row("64 KiB one way", get("e2e.oneway.64k.msgps"), "msg/s", "stream 64 KiB", get("ceiling.stream.64k.msgps"), "msg/s", "")
    e1m, dg = get("e2e.oneway.1m.mbps"), get("ceiling.dgram.3000.mbps")
    row("1 MiB one way (whole pipe messages)", e1m, "MB/s", "datagram link", dg, "MB/s",
        ">= 70% of link: " + verdict(e1m and dg and e1m >= 0.7 * dg))
    row("1 MiB one way", e1m, "MB/s", "stream 1 MiB", get("ceiling.stream.1m.mbps"), "MB/s", "")
    row("1 MiB one way", get("e2e.oneway.1m.msgps"), "msg/s", "stream 1 MiB", get("ceiling.stream.1m.msgps"), "msg/s", "")
    p50, pp = get("e2e.roundtrip.1k.p50"), get("ceiling.pingpong.1k.p50")
    row("1 KiB round trip p50", p50, "us", "ping-pong p50", pp, "us",
        "<= 8x: " + verdict(p50 and pp and p50 <= 8 * pp), invert=True)
    row("1 KiB round trip p99", get("e2e.roundtrip.1k.p99"), "us", "ping-pong p99", get("ceiling.pingpong.1k.p99"), "us", "", invert=True)

    floor_table()
    print()
    print("Against each transport alone (context)")
    table(("figure", "end to end", "ceiling", "ceiling value", "ratio", "target"), rows)

    print()
    print("Peak resident size (VmHWM) of each end, idle and after messages of 64 MiB less 64 KiB (the largest\n"
          "the pipe's quota takes); growth is counted in multiples of one message")
    burst = 64.0
    for case, label, key_idle in (("cross64m", "three crossing one at a time", "idle"),
                                  ("burst3x64m", "three written at once", "idle.b")):
        print(f"  {label}:")
        for end in ("server", "client"):
            idle = get(f"mem.{end}.{key_idle}.hwm")
            peak = get(f"mem.{end}.{case}.hwm")
            if idle is None or peak is None:
                print(f"    {end}: -")
                continue
            growth = (peak - idle) / 1024.0
            print(f"    {end:6}  idle {idle / 1024:7.1f} MiB   peak {peak / 1024:7.1f} MiB   "
                  f"growth {growth:6.1f} MiB = {growth / burst:.2f}x the message" +
                  (f"   (< 4x: {verdict(growth < 4 * burst)})" if case == "cross64m" else ""))
    print()
    def per_end(title, prefix, rows, show):
        print(title)
        for label, key in rows:
            cells = []
            for end in ("server", "client"):
                value = get(f"{prefix}.{end}.{key}")
                cells.append(f"{end} " + ("-" if value is None else show(value)))
            print(f"  {label:27} " + "   ".join(f"{c:20}" for c in cells))


    per_end("CPU time of each end's host process (user and system), per unit moved one way", "e2e.cpu",
            (("per 1 KiB message", "1k.per_msg"), ("per MiB in 1 KiB messages", "1k.per_mib"),
             ("per MiB in 64 KiB messages", "64k.per_mib"), ("per MiB in 1 MiB messages", "1m.per_mib")),
            lambda v: f"{v:,.1f} us")
    per_end("Context switches of each end's host process (all its threads), per unit moved one way",
            "e2e.switches", (("per 1 KiB message", "1k.per_msg"), ("per MiB in 1 MiB messages", "1m.per_mib")),
            lambda v: f"{v:,.2f}")
    print("  (the client end sends, the server end receives)")

    print()
    print("The null chain and the ceilings are the best of three runs, taken before and after the end-to-end runs.")
    print(f"Ceilings: datagram link {fmt(dg, 'MB/s')} ({fmt(get('ceiling.dgram.3000.dgps'), 'msg/s').replace('msg', 'datagrams')} of 3000 bytes; "
          f"{fmt(dg1k, 'msg/s').replace('msg', 'datagrams')} of the size that carries a 1 KiB message)")


# ---- over an emulated link (kvx-bench-session --link PRESET) ----
def link_tables():
    rate, delay = get("link.rate_mbit"), get("link.delay_ms")
    preset = next((n[len("link.preset."):] for n in figures if n.startswith("link.preset.")), None)
    per_us = rate * 1e6 / 8 / 1e6  # bytes the link carries per microsecond

    def wire_us(data_bytes):
        """Time on the link for a message's datagrams (2984 bytes of data
        and a 16-byte header each, the message's own framing aside)."""
        datagrams = max(1, -(-data_bytes // 2984))
        return (data_bytes + 16 * datagrams) / per_us

    link_mbps = rate / 8
    rtt = 2 * delay * 1000 + 2 * wire_us(1024 + 40)
    t64k = wire_us(65536)
    print()
    print(f"Over an emulated {preset or ''} link: {delay:g} ms one way ({2 * delay:g} ms round trip), {rate:g} Mbit/s "
          f"({link_mbps:.2f} MB/s), jitter {get('link.jitter_ms') or 0:g} ms")
    link_rows = []

    def link_row(what, value, unit, allowed, allowed_unit, target, share=True, beyond=False):
        """`beyond`: a round trip, with the share of it spent beyond the
        link's own round trip (in the link's queue and the ends)."""
        if value is None:
            link_rows.append((what, "-", "-", "-", "-", target))
            return
        r = f"{value / allowed:.1%}" if share else f"{value / allowed:.2f}x"
        b = f"{max(0.0, value - allowed) / value:.0%}" if beyond and value > 0 else ""
        link_rows.append((what, fmt(value, unit), fmt(allowed, allowed_unit), r, b, target))

    # Targets for the second pair beside bulk hold where the link is fast
    # enough for them; over the slow preset these are figures to read only.
    judged = preset != "slow"

    def target(text, ok):
        return f"{text}: {verdict(ok)}" if judged else "report only"

    for label, key in (("64 KiB messages one way", "64k"), ("1 MiB messages one way", "1m")):
        v = get(f"link.oneway.{key}.mbps")
        link_row(label, v, "MB/s", link_mbps, "MB/s", ">= 90% of the link: " + verdict(v and v >= 0.9 * link_mbps))
    p50, p99 = get("link.roundtrip.1k.p50"), get("link.roundtrip.1k.p99")
    link_row("1 KiB round trip alone, p50", p50, "us", rtt, "us",
             "<= link + 2 ms: " + verdict(p50 and p50 <= rtt + 2000), share=False, beyond=True)
    link_row("1 KiB round trip alone, p99", p99, "us", rtt, "us", "", share=False, beyond=True)

    b = "link.roundtrip.1k_beside_bulk"
    limit = rtt + 3 * t64k
    link_row("beside 64 KiB bulk: 2nd pair's 1 KiB round trip, p50", get(b + ".p50"), "us", rtt, "us", "",
             share=False, beyond=True)
    link_row("beside 64 KiB bulk: 2nd pair's 1 KiB round trip, p99", get(b + ".p99"), "us", rtt, "us",
             target(f"<= link + 3 x 64 KiB ({limit / 1000:.1f} ms)", get(b + ".p99") and get(b + ".p99") <= limit),
             share=False, beyond=True)
    link_row("beside 64 KiB bulk: 2nd pair's 1 KiB round trip, max", get(b + ".max"), "us", rtt, "us", "",
             share=False, beyond=True)
    v = get("link.oneway.64k_beside_pings.mbps")
    link_row("beside 64 KiB bulk: the bulk's own rate", v, "MB/s", link_mbps, "MB/s",
             target(">= 90% of the link", v and v >= 0.9 * link_mbps))

    w = "link.roundtrip.1k_beside_4m"
    at_wan = preset == "wan"
    w99, wmax = get(w + ".p99"), get(w + ".max")
    link_row("beside 4 MiB messages: 2nd pair's 1 KiB round trip, p50", get(w + ".p50"), "us", rtt, "us", "",
             share=False, beyond=True)
    link_row("beside 4 MiB messages: 2nd pair's 1 KiB round trip, p99", w99, "us", rtt, "us",
             "<= 100 ms: " + verdict(w99 and w99 <= 100000) if at_wan else "report only", share=False, beyond=True)
    link_row("beside 4 MiB messages: 2nd pair's 1 KiB round trip, max", wmax, "us", rtt, "us",
             "<= 150 ms: " + verdict(wmax and wmax <= 150000) if at_wan else "report only", share=False, beyond=True)
    link_row("beside 4 MiB messages: the bulk's own rate", get("link.oneway.4m_beside_pings.mbps"), "MB/s", link_mbps,
             "MB/s", "")
    table(("figure", "measured", "the link allows", "ratio", "beyond link", "target"), link_rows)
    window = get("link.beside_bulk.window") or 0
    print(f"  (beside 64 KiB bulk: {window / 1048576:g} MiB of it in flight; "
          f"{get(b + '.count') or 0:.0f} round trips)")
    whole = get("link.1k_beside_4m.message_bytes")
    if whole:
        print(f"  (beside {whole / 1048576:g} MiB messages written whole to the pipe, "
              f"{get('link.1k_beside_4m.in_flight') or 0:.0f} on their way, each {wire_us(whole) / 1e6:.2f} s on the "
              f"link: pings for {get('link.1k_beside_4m.seconds') or 0:.0f} s, at least four messages' time; "
              f"{get(w + '.count') or 0:.0f} round trips)")
    print("  (beyond link: max(0, measured - the link's round trip) / measured, the share of a round trip spent\n"
          "   waiting in the link's queue and at the ends)")
    queue_bytes = get("link.queue_bytes")
    if queue_bytes:
        print(f"  (the link's own queue, {queue_bytes:,.0f} bytes, adds up to {queue_bytes / per_us / 1000:.0f} ms "
              f"to a message behind a bulk transfer that keeps it full)")

    mrate = get("link.memory.rate_mbit")
    if not mrate:
        return
    queue = get("link.memory.queue_bytes") or 0
    print()
    print(f"Peak resident size while 1 MiB messages wait for a {mrate:g} Mbit/s link, against the bounds of "
          f"Flow control and memory")
    mib = 1024 * 1024
    # The whole pipe queue's bound; one application alone is held to its
    # lane (64 MiB / 6 and one message), which the line shows beside it.
    lane = 64 * mib / 6 + mib + queue
    bounds = {"client": (64 * mib + 6 * mib + queue,
                         f"pipe queue 64 MiB + 6 messages + link queue; one application's lane "
                         f"+ its message + link queue: {lane / mib:.1f} MiB"),
              "server": (64 * mib + 1 * mib + 4096 * 3001, "PCoIP queue 64 MiB + 1 message + 4096 datagrams")}
    for end, role in (("client", "sending"), ("server", "receiving")):
        idle, peak = get(f"mem.{end}.slow_idle.hwm"), get(f"mem.{end}.slow_bulk.hwm")
        if idle is None or peak is None:
            print(f"  {end}: -")
            continue
        growth = (peak - idle) * 1024
        bound, what = bounds[end]
        print(f"  {end} ({role}) grew {growth / mib:6.1f} MiB; bound {bound / mib:6.1f} MiB ({what}): "
              + verdict(growth <= bound))


for path in sys.argv[1:]:
    figures = load(path)
    # The plain session's tables, unless only the emulated link was measured.
    if any(name.startswith(("e2e.", "ceiling.", "chain.")) for name in figures):
        plain_tables()
    if get("link.rate_mbit"):
        link_tables()
