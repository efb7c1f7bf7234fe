"""A client of the KVX plug-in's pipe for Python 3, standard library only.

The same notions as the C++ SDK: a Session is one connection to the plug-in
at this end of the remote session; a Channel is one named channel to an
application at the other end. Everything runs on the calling thread: each
blocking call reads the pipe until what it waits for has arrived, and queues
what belongs to other channels. Use one Session from one thread at a time.

    with kvx_client.Session() as session:
        channel = session.open_channel("my.channel")
        channel.wait_connected(10)
        channel.send(b"hello")
        packet = channel.receive(5)          # or raises PeerLeft, ChannelLost, ...

Time-outs are in seconds (None waits without end), as Python's own are; the
C++ SDK takes milliseconds.

On Linux the pipe "\\\\.\\pipe\\NAME" is the Unix socket $KVX_PIPE_DIR/NAME; every
message, both ways, is a 4-byte little-endian length and one serialised
KVX.Message (see docs/protocol.md, which this module follows).
"""

import collections
import os
import select
import socket
import stat
import struct
import time

DEFAULT_PIPE = "\\\\.\\pipe\\KVX_Pipe_Channel"
MAX_MESSAGE = 64 * 1024 * 1024  # the pipe's quota for one message
MAX_UNREAD = 16 * 1024 * 1024   # received data a session holds unread, by default
UNREAD_PER_MESSAGE = 64          # what each held message counts besides its data

# ResultCode values of ChannelConnectionResponse.status.
CONNECTED, PENDING_PEER, LOST = 20, 21, 22

# Channel states, as in the C++ SDK.
REQUESTED, PENDING, CONNECTED_STATE, LOST_STATE, CLOSED = (
    "requested", "pending-peer", "connected", "lost", "closed")


class KvxError(Exception):
    """Base of every error this module raises; `code` is a short stable name."""
    code = "error"


class NoServer(KvxError): code = "no-server"          # nobody serves the pipe (or its folder is missing)
class AccessDenied(KvxError): code = "access-denied"  # the pipe folder is unsafe, or another user serves it
class ConnectionLost(KvxError): code = "connection-lost"
class Timeout(KvxError): code = "timeout"
class PeerLeft(KvxError): code = "peer-left"          # the far application disconnected
class ChannelLost(KvxError): code = "channel-lost"    # it vanished, or was taken over
class ChannelClosed(KvxError): code = "channel-closed"
class NotConnected(KvxError): code = "not-connected"
class MessageTooLarge(KvxError): code = "message-too-large"
class ProtocolError(KvxError): code = "protocol-error"


Packet = collections.namedtuple("Packet", "data app_value request_id")
# kind: "notice" (state moved on), "data" (packet), "peer-left", "lost", and
# with reconnect "pipe-lost" (the pipe went away; the channel is asked for again).
Event = collections.namedtuple("Event", "kind state channel_id packet")


# --- protocol buffer encoding of the few KVX messages, by hand -------------

def _varint(value):
    value &= (1 << 64) - 1  # negative int64 values take ten bytes
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def _field_varint(number, value):
    return _varint(number << 3) + _varint(value) if value else b""


def _field_bytes(number, data, always=False):
    if not data and not always:
        return b""
    return _varint(number << 3 | 2) + _varint(len(data)) + data


def _request(body_field, body, request_id=0):
    # KVX.Message.request (20) holding KVX.Request {id (1), body}.
    inner = _field_varint(1, request_id) + _field_bytes(body_field, body, always=True)
    return _field_bytes(20, inner, always=True)


def encode_connect(name, launch_link=None):
    body = _field_bytes(1, name.encode())
    if launch_link is not None:
        # LaunchOptions {launch_mode = LAUNCH_APP (1), app_link}
        body += _field_bytes(3, _field_varint(1, 1) + _field_bytes(2, launch_link.encode()), always=True)
    return _request(11, body)


def encode_disconnect(channel_id):
    return _request(12, _field_varint(1, channel_id))


def encode_data_head(channel_id, size, app_value=0, request_id=0):
    """The bytes of a data message before its `size` bytes of data, so that
    the data can be written after them without being copied in behind."""
    transfer = _field_varint(1, channel_id) + _field_varint(2, app_value)
    if size:
        transfer += _varint(3 << 3 | 2) + _varint(size)
    request = _field_varint(1, request_id) + _varint(20 << 3 | 2) + _varint(len(transfer) + size)
    return _varint(20 << 3 | 2) + _varint(len(request) + len(transfer) + size) + request + transfer


def encode_data(channel_id, data, app_value=0, request_id=0):
    return encode_data_head(channel_id, len(data), app_value, request_id) + data


def encode_property_request(name):
    return _request(30, _field_bytes(1, name.encode()))


def _fields(data):
    """(number, value) pairs: ints for varints, bytes for length-delimited."""
    i, end = 0, len(data)

    def read_varint():
        nonlocal i
        shift = result = 0
        while True:
            if i >= end or shift > 63:
                raise ProtocolError("a truncated or overlong varint")
            byte = data[i]
            i += 1
            result |= (byte & 0x7F) << shift
            shift += 7
            if not byte & 0x80:
                return result

    while i < end:
        tag = read_varint()
        number, wire = tag >> 3, tag & 7
        if wire == 0:
            yield number, read_varint()
        elif wire == 2:
            length = read_varint()
            if i + length > end:
                raise ProtocolError("a field runs past the end of the message")
            yield number, bytes(data[i:i + length])
            i += length
        elif wire == 1:
            i += 8
        elif wire == 5:
            i += 4
        else:
            raise ProtocolError("unsupported wire type %d" % wire)


def _signed64(value):
    return value - (1 << 64) if value >= 1 << 63 else value


def decode(message):
    """A message from the plug-in as a dict with "kind": notice, property or data."""
    for number, value in _fields(message):
        if number == 30 and isinstance(value, bytes):  # Message.response
            for body_number, body in _fields(value):
                if body_number == 11 and isinstance(body, bytes):
                    notice = {"kind": "notice", "name": b"", "id": 0, "status": 0}
                    for n, v in _fields(body):
                        if n == 1: notice["name"] = v
                        elif n == 2: notice["id"] = _signed64(v)
                        elif n == 3: notice["status"] = v
                    notice["name"] = notice["name"].decode("utf-8", "replace")
                    return notice
                if body_number == 12 and isinstance(body, bytes):
                    answer = {"kind": "property", "name": b"", "value": b""}
                    for n, v in _fields(body):
                        if n == 1: answer["name"] = v
                        elif n == 2: answer["value"] = v
                    answer["name"] = answer["name"].decode("utf-8", "replace")
                    answer["value"] = answer["value"].decode("utf-8", "replace")
                    return answer
        if number == 20 and isinstance(value, bytes):  # Message.request: data from the peer
            request_id, transfer = 0, None
            for body_number, body in _fields(value):
                if body_number == 1: request_id = body
                elif body_number == 20 and isinstance(body, bytes): transfer = body
            if transfer is not None:
                data = {"kind": "data", "id": 0, "app_value": 0, "data": b"", "request_id": request_id}
                for n, v in _fields(transfer):
                    if n == 1: data["id"] = _signed64(v)
                    elif n == 2: data["app_value"] = _signed64(v)
                    elif n == 3: data["data"] = v
                return data
    return {"kind": "other"}


# --- the pipe ----------------------------------------------------------------

def pipe_location(pipe_name=DEFAULT_PIPE):
    """(socket path, how its folder was chosen) for a pipe name, in the folder
    the plug-in serves from: $KVX_PIPE_DIR, else $XDG_RUNTIME_DIR, else
    /tmp/kvx-<uid>."""
    base = pipe_name[9:] if pipe_name.startswith("\\\\.\\pipe\\") else pipe_name
    if os.environ.get("KVX_PIPE_DIR"):
        folder, origin = os.environ["KVX_PIPE_DIR"], "folder from KVX_PIPE_DIR"
    elif os.environ.get("XDG_RUNTIME_DIR"):
        folder, origin = os.environ["XDG_RUNTIME_DIR"], "default folder, from XDG_RUNTIME_DIR"
    else:
        folder, origin = "/tmp/kvx-%d" % os.getuid(), "default folder; KVX_PIPE_DIR chooses another"
    return os.path.join(folder, base), origin


def pipe_path(pipe_name=DEFAULT_PIPE):
    """The socket behind a pipe name (see pipe_location)."""
    return pipe_location(pipe_name)[0]


def _check_folder(path, origin):
    """Refuses a folder that someone else could have put a socket in: it must
    be a real folder of this user's, closed to group and others."""
    folder = os.path.dirname(path)
    where = "the pipe socket %s (%s)" % (path, origin)
    try:
        info = os.lstat(folder)
    except FileNotFoundError:
        raise NoServer("no plug-in serves %s: the folder %s does not exist (a host makes only the default "
                       "folder itself; is KVX_PIPE_DIR the host's?)" % (where, folder)) from None
    except OSError as error:
        raise AccessDenied("cannot open %s: cannot look at the folder %s: %s"
                           % (where, folder, error.strerror)) from None
    owner = "owner uid %d, mode %04o" % (info.st_uid, info.st_mode & 0o7777)
    fix = "; 'mkdir -m 700 DIR' makes a fit one"
    if stat.S_ISLNK(info.st_mode):
        raise AccessDenied("cannot open %s: the folder %s (%s) is a symbolic link; a pipe folder must be a "
                           "real folder%s" % (where, folder, owner, fix))
    if not stat.S_ISDIR(info.st_mode):
        raise NoServer("no plug-in serves %s: %s (%s) is not a folder" % (where, folder, owner))
    if info.st_uid != os.geteuid():
        raise AccessDenied("cannot open %s: the folder %s (%s) does not belong to this user, uid %d; a pipe "
                           "folder must be the user's own%s" % (where, folder, owner, os.geteuid(), fix))
    if info.st_mode & 0o077:
        raise AccessDenied("cannot open %s: the folder %s (%s) is open to group or others; a pipe folder "
                           "must be closed to them (chmod 700)" % (where, folder, owner))


def _check_server(sock, path):
    """The process serving the socket must be this user's (or root's)."""
    creds = sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i"))
    pid, uid, _ = struct.unpack("3i", creds)
    if uid not in (0, os.geteuid()):
        raise AccessDenied("cannot open the pipe socket %s: it is served by process %d of uid %d, not by "
                           "this user, uid %d" % (path, pid, uid, os.geteuid()))


def _connect(path, origin, timeout):
    """A socket connected to the plug-in's pipe, or the reason in our errors."""
    _check_folder(path, origin)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        sock.settimeout(timeout)
        sock.connect(path)
        sock.settimeout(None)
        _check_server(sock, path)
        return sock
    except KvxError:
        sock.close()
        raise
    except (FileNotFoundError, ConnectionRefusedError) as error:
        sock.close()
        raise NoServer("no plug-in serves the pipe socket %s (%s): %s" % (path, origin, error.strerror)) from None
    except socket.timeout:
        sock.close()
        raise Timeout("the plug-in did not accept within %s s" % timeout) from None
    except PermissionError as error:
        sock.close()
        raise AccessDenied("cannot open the pipe socket %s (%s): %s" % (path, origin, error.strerror)) from None
    except OSError as error:
        sock.close()
        raise ConnectionLost("cannot connect to the pipe socket %s (%s): %s"
                             % (path, origin, error.strerror)) from None


class Session:
    """With reconnect=True, a pipe that goes away (its host restarted) is
    connected again, first after 0.1 s and then twice as long each time up to
    reconnect_max_delay seconds, while a call waits on the session; every
    channel then reads Event("pipe-lost") (receive raises ConnectionLost once)
    and is asked for again, and its notices follow as for a new channel.

    max_unread bounds the received data the session holds for its channels
    that the application has not taken yet (each message's data and 64 bytes
    more). At the bound the session reads the pipe no further: the plug-in
    then holds the far sender back, and lets an application that stops
    reading go after its write time-out (10 s). A call that waits for
    anything else meanwhile (another channel's data, a notice, an answer)
    raises Timeout at its deadline, or at once when it has none, since
    nothing can arrive before the application takes some of that data."""

    def __init__(self, pipe_name=DEFAULT_PIPE, timeout=5.0, reconnect=False, reconnect_max_delay=5.0,
                 max_unread=MAX_UNREAD):
        # The socket is found once: reconnecting goes back to the same one.
        self._location, self._timeout = pipe_location(pipe_name), timeout
        self._reconnect, self._reconnect_max_delay = reconnect, reconnect_max_delay
        self._socket = _connect(self._location[0], self._location[1], timeout)
        self._buffer = bytearray()
        self._channels = {}         # name -> Channel
        self._disconnecting = []    # channels waiting for their confirmation
        self._answers = collections.deque()  # (name, value)
        self._closed = None         # the error once the pipe has ended
        self._gone = None           # reconnecting: why the pipe went
        self._retry_at = self._retry_delay = 0.0  # the next connect attempt, and the pause after it
        self._ask_at = self._ask_delay = 0.0      # when channels not heard of are asked for again
        self._max_unread = max_unread
        self.unread_bytes = self.unread_peak = 0  # data held for the channels, as max_unread counts it

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self._closed is None:
            self._closed = ConnectionLost("the session was closed")
            if self._socket is not None:
                self._socket.close()
            for channel in self._channels.values():
                channel._end(self._closed)

    def open_channel(self, name, launch_link=None):
        if not name:
            raise ValueError("a channel needs a name")
        if name in self._channels:
            raise ValueError("channel %r is already open on this session" % name)
        channel = Channel(self, name)
        self._channels[name] = channel
        self._write(encode_connect(name, launch_link))
        return channel

    def get_property(self, name, timeout=5.0):
        """"KVXCoreType" ("Server" or "Client") or "Hwnds" of this end."""
        self._write(encode_property_request(name))
        deadline = _deadline(timeout)
        while True:
            for answer in list(self._answers):
                if answer[0] == name:
                    self._answers.remove(answer)
                    return answer[1]
            self._pump(deadline, "the answer for property %r" % name)

    # Internals used by Channel.
    def _write(self, message, data=b""):
        """Writes `message` and then `data` as one pipe message."""
        if self._closed is not None:
            raise self._closed
        if self._socket is None:
            raise self._gone
        size = len(message) + len(data)
        if size > MAX_MESSAGE:
            raise MessageTooLarge("a message of %d bytes is longer than the pipe carries" % size)
        # Frame length, message and data in one gathered write, not joined
        # first: data may be many megabytes.
        parts = [memoryview(part).cast("B") for part in (struct.pack("<I", size), message, data) if len(part)]
        try:
            while parts:
                sent = self._socket.sendmsg(parts)
                while parts and sent >= len(parts[0]):
                    sent -= len(parts.pop(0))
                if parts:
                    parts[0] = parts[0][sent:]
        except OSError as error:
            self._lost("writing to the plug-in failed: %s" % error)
            raise (self._closed or self._gone) from None

    def _pump(self, deadline, awaited):
        """Reads and routes one message, or raises Timeout at the deadline."""
        while True:
            if self._closed is not None:
                raise self._closed
            if self._socket is None:
                self._try_reconnect(deadline, awaited)
                continue
            if self.unread_bytes >= self._max_unread:
                self._wait_for_reader(deadline, awaited)
            if len(self._buffer) >= 4:
                length = struct.unpack_from("<I", self._buffer)[0]
                if length > MAX_MESSAGE:
                    # Refused before anything is gathered for it: the pipe
                    # can carry nothing more after a length it cannot trust.
                    self._lost("the plug-in announced a message of %d bytes, more than the limit of %d; "
                               "the pipe was closed" % (length, MAX_MESSAGE), ProtocolError)
                    raise self._closed
                if len(self._buffer) >= 4 + length:
                    message = bytes(self._buffer[4:4 + length])
                    del self._buffer[:4 + length]
                    self._route(message)
                    return
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                raise Timeout("no %s in time" % awaited)
            if self._ask_at:
                wake = max(0.0, self._ask_at - time.monotonic())
                left = wake if left is None else min(left, wake)
            try:
                if not select.select([self._socket], [], [], left)[0]:
                    # Asked again only when nothing is waiting to be read:
                    # an answer may be there already.
                    if self._ask_at and time.monotonic() >= self._ask_at:
                        self._ask_again()
                    continue
                chunk = self._socket.recv(1 << 20)
            except OSError as error:  # the connection reset, say: the host died
                self._lost("the pipe connection failed: %s" % (error.strerror or error))
                continue
            if not chunk:
                self._lost("the plug-in closed the pipe")
            self._buffer += chunk

    def _wait_for_reader(self, deadline, awaited):
        """The unread data is at the bound: nothing more is read until the
        application takes some, which it cannot do while this call waits."""
        why = ("no %s: %d bytes of data wait unread on this session's channels (max_unread %d); read or "
               "disconnect them" % (awaited, self.unread_bytes, self._max_unread))
        if deadline is not None:
            time.sleep(max(0.0, deadline - time.monotonic()))
        raise Timeout(why)

    def _held(self, packet):
        self.unread_bytes += len(packet.data) + UNREAD_PER_MESSAGE
        self.unread_peak = max(self.unread_peak, self.unread_bytes)

    def _taken(self, event):
        if event.kind == "data":
            self.unread_bytes -= len(event.packet.data) + UNREAD_PER_MESSAGE

    def _try_reconnect(self, deadline, awaited):
        """One connect attempt when it is due; Timeout at the caller's deadline."""
        now = time.monotonic()
        if now < self._retry_at:
            if deadline is not None and deadline <= now:
                raise Timeout("no %s in time: the session is reconnecting" % awaited)
            time.sleep(self._retry_at - now if deadline is None else min(self._retry_at, deadline) - now)
            return
        try:
            self._socket = _connect(self._location[0], self._location[1], self._timeout)
        except KvxError:
            self._retry_delay = min(self._retry_delay * 2, max(self._reconnect_max_delay, 0.1))
            self._retry_at = time.monotonic() + self._retry_delay
            return
        self._gone = None
        self._buffer = bytearray()
        self._ask_delay = 1.0
        self._ask_again()

    def _ask_again(self):
        """Asks for the channels not heard of since the pipe came back: its
        host's channel to the far end opens a little after the pipe; this
        plug-in holds a request made before that, an older one drops it
        without a word."""
        waiting = [c for c in self._channels.values() if c.state == LOST_STATE and c.id == -1]
        self._ask_at = 0.0
        if not waiting:
            return
        try:
            for channel in waiting:
                self._write(encode_connect(channel.name))
        except ConnectionLost:
            return  # gone again: asked for once it is back
        self._ask_at = time.monotonic() + self._ask_delay
        self._ask_delay = min(self._ask_delay * 2, max(self._reconnect_max_delay, 1.0))

    def _lost(self, why, kind=None):
        if self._reconnect and kind is None and self._closed is None:
            self._socket.close()
            self._socket = None
            self._gone = ConnectionLost(why + "; the session is reconnecting")
            self._retry_delay, self._retry_at = 0.1, time.monotonic() + 0.1
            self._ask_at = 0.0
            self._answers.clear()
            for channel in self._disconnecting:  # the plug-in forgot them: as good as left
                channel.state = CLOSED
                self._channels.pop(channel.name, None)
            self._disconnecting = []
            for channel in self._channels.values():
                channel._pipe_lost()
            return
        self._closed = (kind or ConnectionLost)(why)
        self._socket.close()
        for channel in self._channels.values():
            channel._end(self._closed)

    def _find(self, channel_id, name=""):
        if channel_id != -1:
            for channel in self._channels.values():
                if channel.id == channel_id:
                    return channel
        return self._channels.get(name) if name else None

    def _route(self, message):
        try:
            item = decode(message)
        except ProtocolError:
            return  # the C++ SDK counts these as dropped; nothing to wait for
        if item["kind"] == "property":
            self._answers.append((item["name"], item["value"]))
        elif item["kind"] == "data":
            channel = self._find(item["id"])
            if channel is not None:
                packet = Packet(item["data"], item["app_value"], item["request_id"])
                self._held(packet)
                channel._events.append(Event("data", channel.state, channel.id, packet))
        elif item["kind"] == "notice":
            status, channel_id, name = item["status"], item["id"], item["name"]
            if status == LOST:
                # Our own disconnect is confirmed with a loss notice, in order.
                for channel in self._disconnecting:
                    if channel.id == channel_id or (channel_id == -1 and not name):
                        self._disconnecting.remove(channel)
                        channel.state = CLOSED
                        return
            channel = self._find(channel_id, name)
            if channel is not None and status in (CONNECTED, PENDING_PEER, LOST):
                channel._notice(channel_id, status)


class Channel:
    def __init__(self, session, name):
        self._session = session
        self.name = name
        self.id = -1
        self.state = REQUESTED
        self._events = collections.deque()
        self._ended = None
        self._pipe_away = False  # lost because the pipe went away, not the far application
        # Set when the channel becomes connected, cleared by the wait that
        # sees it: the other side may connect, send and leave within one read
        # of the pipe, and the waiter must still go on to receive that.
        self._connected_unseen = False

    def _notice(self, channel_id, status):
        state = {CONNECTED: CONNECTED_STATE, PENDING_PEER: PENDING, LOST: LOST_STATE}[status]
        new_id = channel_id if channel_id != -1 else self.id
        if state == self.state and new_id == self.id:
            return  # a repeated CONNECTED (both ends asked at once) says nothing new
        kind = "notice"
        if state == LOST_STATE:
            kind = "lost"
        elif state == PENDING and self.state == CONNECTED_STATE:
            kind = "peer-left"
        self.id, self.state = new_id, state
        self._pipe_away = False
        if state == CONNECTED_STATE:
            self._connected_unseen = True
        self._events.append(Event(kind, state, new_id, None))

    def _pipe_lost(self):
        if self.state != CLOSED:
            self.id, self.state = -1, LOST_STATE
            self._pipe_away = True
            self._connected_unseen = False
            self._events.append(Event("pipe-lost", LOST_STATE, -1, None))

    def _discard(self):
        for event in self._events:
            self._session._taken(event)
        self._events.clear()

    def _end(self, error):
        if self.state != CLOSED:
            self.state = CLOSED
            self._ended = error

    def _wait(self, condition, timeout, awaited):
        deadline = _deadline(timeout)
        while not condition():
            if self._ended is not None:
                raise self._ended
            if self.state == CLOSED:
                raise ChannelClosed("channel %r was disconnected" % self.name)
            self._session._pump(deadline, awaited)

    def wait_connected(self, timeout=10.0):
        """Until the channel is connected, or has been since the last wait
        that saw it so."""
        self._wait(lambda: self.state == CONNECTED_STATE or self._connected_unseen, timeout,
                   "application at the other end of %r" % self.name)
        self._connected_unseen = False

    def send(self, data, app_value=0, request_id=0):
        """One message of data; only on a connected channel (the plug-ins drop
        data for a channel whose other side is absent)."""
        if self.state != CONNECTED_STATE:
            if self._ended is not None:
                raise self._ended
            if self._pipe_away:
                raise ConnectionLost("channel %r cannot send while the pipe to the plug-in is away; the session "
                                     "is reconnecting and asks for the channel again" % self.name)
            error = ChannelLost if self.state == LOST_STATE else NotConnected
            raise error("channel %r is %s" % (self.name, self.state))
        data = memoryview(data)  # any bytes-like object, not copied unless scattered
        data = data.cast("B") if data.c_contiguous else memoryview(data.tobytes())
        self._session._write(encode_data_head(self.id, len(data), app_value, request_id), data)

    def next_event(self, timeout=None):
        """The next Event in order; None as timeout waits without end."""
        self._wait(lambda: self._events or self._ended is not None, timeout, "event on %r" % self.name)
        if self._events:
            event = self._events.popleft()
            self._session._taken(event)
            return event
        raise self._ended

    def receive(self, timeout=None):
        """The next Packet. The peer leaving raises PeerLeft and the channel
        lost raises ChannelLost, each once and after the data before it; call
        again to wait for the next peer. With reconnect, the pipe going away
        raises ConnectionLost once; call again to wait for the channel to come
        back. Timeout when nothing came in time."""
        deadline = _deadline(timeout)
        while True:
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            event = self.next_event(left)
            if event.kind == "data":
                return event.packet
            if event.kind == "peer-left":
                raise PeerLeft("the application at the other end left channel %r" % self.name)
            if event.kind == "pipe-lost":
                raise ConnectionLost("the pipe to the plug-in went away; the session is reconnecting and "
                                     "asks for channel %r again" % self.name)
            if event.kind == "lost":
                raise ChannelLost("channel %r was lost: the application at the other end went away "
                                  "without leaving it, or another application here took it over" % self.name)

    def disconnect(self, timeout=5.0):
        """Leaves the channel and waits for the plug-in's confirmation."""
        if self.state == CLOSED:
            return
        # Discarded at the end anyway; dropped first, so that what is held for
        # this channel does not keep the session from reading the confirmation.
        self._discard()
        try:
            self._wait(lambda: self.id != -1, timeout, "ID for %r" % self.name)
            self._session._disconnecting.append(self)
            self._session._write(encode_disconnect(self.id))
            self._wait(lambda: self.state == CLOSED, timeout, "confirmation of the disconnect")
        finally:
            self.state = CLOSED
            self._discard()
            self._session._channels.pop(self.name, None)
            if self in self._session._disconnecting:
                self._session._disconnecting.remove(self)


def _deadline(timeout):
    return None if timeout is None else time.monotonic() + timeout
