"""The lobby protocol (docs/lobby.md) and the game's protocol (docs/protocol.md), just enough
for the tests to act as a hostile or scripted meetpoint, and as a scripted game."""
import socket
import ssl
import struct
import time

MAGIC, VERSION = 0x424C4C52, 2
# name: (type, fields); a field is 'u8', 'u32', 'text' or 'records'
LOBBY = {
    'Hello': (0x01, ['u32', 'u32', 'text']), 'Login': (0x02, ['text', 'text']),
    'Chat': (0x03, ['text']), 'StartInstance': (0x04, ['text']), 'Join': (0x05, ['u32']),
    'Vote': (0x06, ['u32', 'u8']), 'Results': (0x07, ['u32', 'u8', 'text', 'u32']),
    'Accuse': (0x08, ['u32', 'text']), 'Ping': (0x09, ['u32']),
    'Register': (0x0A, ['text', 'text']), 'Who': (0x0B, []), 'Ratings': (0x0C, ['u32']),
    'Welcome': (0x41, ['u32', 'text']), 'LoggedIn': (0x42, ['text', 'u32']),
    'Error': (0x43, ['text', 'u8', 'text', 'u8']), 'Instance': (0x44, ['u32', 'u32', 'text']),
    'JoinResult': (0x45, ['u32', 'u32']), 'VoteCast': (0x46, ['u32', 'u8', 'text']),
    'FinalResults': (0x47, ['u32', 'u8', 'records']), 'ChatLine': (0x48, ['text', 'text']),
    'Pong': (0x49, ['u32']), 'Online': (0x4A, ['u32', 'records']),
    'RatingsTable': (0x4B, ['records']), 'Joined': (0x4C, ['u32', 'text']),
}
BY_TYPE = {t: (name, fields) for name, (t, fields) in LOBBY.items()}


def frame(payload):
    return struct.pack('<I', len(payload) + 4) + payload


def text(value):
    value = value.encode('latin-1') if isinstance(value, str) else value
    return struct.pack('<H', len(value)) + value


NUMBERS = {'u8': '<B', 'u16': '<H', 'u32': '<I'}


def encode(name, *values):
    code, fields = LOBBY[name]
    out = bytes([code])
    for kind, value in zip(fields, values):
        if kind in NUMBERS:
            out += struct.pack(NUMBERS[kind], value)
        elif kind == 'records':
            out += struct.pack('<H', len(value)) + b''.join(text(p) + struct.pack('<I', r) for p, r in value)
        else:
            out += text(value)
    return frame(out)


def decode(payload):
    name, fields = BY_TYPE[payload[0]]
    at, values = 1, []

    def take(kind):  # the next field
        nonlocal at
        size = 2 + struct.unpack_from('<H', payload, at)[0] if kind == 'text' else struct.calcsize(NUMBERS[kind])
        at += size
        chunk = payload[at - size:at]
        return chunk[2:].decode('latin-1') if kind == 'text' else struct.unpack(NUMBERS[kind], chunk)[0]
    for kind in fields:
        if kind == 'records':
            values.append([(take('text'), take('u32')) for _ in range(take('u16'))])
        else:
            values.append(take(kind))
    return name, values


def take_frame(buffer):
    """The payload of the whole frame at the start of buffer (None if there is none), and what
    is left of the buffer."""
    n = struct.unpack_from('<I', buffer)[0] if len(buffer) >= 4 else 0
    return (buffer[4:n], buffer[n:]) if 4 <= n <= len(buffer) else (None, buffer)


class Peer:
    """A connection that speaks frames: to the lobby server, over TLS when ca or tls (a context
    of the caller's) is given, or, as a game, to meetpoint (decode=game_event). The TLS runs
    over memory BIOs, so that a test can send records cut short or tampered with, and tell a
    close_notify from a bare close. source: the local address to connect from (127.0.0.0/8 is
    all loopback), so that the server sees another address; receive_buffer: SO_RCVBUF, for a
    peer that stops reading; handshake=False leaves the handshake to the test."""

    def __init__(self, port, ca=None, tls=None, source=None, receive_buffer=None, handshake=True,
                 decode=decode):
        self.sock, self.decode, self.tls = socket.socket(), decode, None
        if receive_buffer:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        if source:
            self.sock.bind((source, 0))
        self.sock.settimeout(5)
        self.sock.connect(('127.0.0.1', port))
        self.plain, self.ended = b'', False
        if ca or tls:
            self.inbox, self.outbox = ssl.MemoryBIO(), ssl.MemoryBIO()
            context = tls or ssl.create_default_context(cafile=ca)
            self.tls = context.wrap_bio(self.inbox, self.outbox, server_hostname='localhost')
            if handshake:
                self.handshake()

    def flush(self):
        data = self.outbox.read()
        if data:
            self.sock.sendall(data)

    def handshake(self, seconds=5):
        end = time.monotonic() + seconds
        while True:
            try:
                self.tls.do_handshake()
                return self.flush()
            except ssl.SSLWantReadError:
                self.flush()
            self.sock.settimeout(max(0.01, end - time.monotonic()))
            data = self.sock.recv(65536)
            if not data:
                raise ConnectionError('closed during the handshake')
            self.inbox.write(data)

    def records(self, data):
        """What goes on the wire for data (its TLS records), for the test to send as it likes."""
        if not self.tls:
            return data
        self.tls.write(data)
        return self.outbox.read()

    def send(self, data):
        self.sock.sendall(self.records(data))

    def close(self):
        self.sock.close()

    def events(self, seconds):
        """What arrives within the time: decoded frames, then 'close_notify', 'alert' (a TLS
        alert or error) and 'eof' (the connection closed, or reset), each once."""
        end = time.monotonic() + seconds
        while True:
            # One frame at a time, out of the buffer before it is handed on: a caller that
            # stops at it leaves the frames after it for the next call.
            payload, self.plain = take_frame(self.plain)
            if payload is not None:
                yield self.decode(payload)
                continue
            if self.tls and not self.ended:
                try:
                    data = self.tls.read(65536)  # b'' once close_notify has come
                except ssl.SSLWantReadError:
                    data = None
                except ssl.SSLZeroReturnError:
                    data = b''
                except ssl.SSLError:
                    data, self.ended = None, True
                    yield 'alert'
                if data:
                    self.plain += data
                    continue
                if data == b'':
                    self.ended = True
                    yield 'close_notify'
            left = end - time.monotonic()
            if left <= 0:
                return
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                return
            except OSError:
                data = b''
            if not data:
                yield 'eof'
                return
            if not self.tls:
                self.plain += data
            elif not self.ended:
                self.inbox.write(data)

    def expect(self, name, seconds=5, match=lambda values: True):
        """The values of the first such message within the time; fails otherwise."""
        seen = []
        for message in self.events(seconds):
            if isinstance(message, str):
                break
            if message[0] == name and match(message[1]):
                return message[1]
            seen.append(message)
        raise AssertionError(f'no {name} within {seconds} s; got {len(seen)} others, the last {seen[-3:]}')

    def hello(self, then=b''):
        """Hello, with the frames that follow it at once; returns the peer."""
        self.send(encode('Hello', MAGIC, VERSION, 'test') + then)
        return self

    def login(self, player, password):
        self.hello(encode('Login', player, password)).expect('Welcome')
        return self.expect('LoggedIn')


# The game's side of docs/protocol.md: requests to meetpoint, events from it.
def game_request(name, *values):
    u16, u32 = (lambda n: struct.pack('<H', n)), (lambda n: struct.pack('<I', n))
    lat = (lambda s: s.encode('latin-1'))
    build = {
        'Initialise': lambda: b'\x01' + u16(1),
        'StartGameInstance': lambda: b'\x06',
        'JoinGame': lambda giid: b'\x0a' + u32(giid),
        'Vote': lambda giid, vote: b'\x08' + u32(giid) + bytes([vote]),
        'GameResults': lambda giid, scores, vote, n:
            b'\x07' + u32(giid) + u32(len(scores)) + lat(scores) + bytes([vote]) + u32(n),
        'AccusePlayer': lambda giid, player: b'\x09' + u32(giid) + lat(player) + b'\x00',
        'LobbyMessage': lambda sender, text:
            b'\x05' + u16(len(sender)) + lat(sender) + u16(len(text)) + lat(text),
    }
    return frame(build[name](*values))


def game_event(payload):
    """(name, values) of an event that meetpoint sent to the game."""
    u32 = (lambda at: struct.unpack_from('<I', payload, at)[0])
    zstr = (lambda at: payload[at:payload.index(0, at)].decode('latin-1'))
    kind = payload[0]
    if kind == 0x20:
        return 'NewGameInstance', [u32(1), u32(5)]
    if kind == 0x23:
        return 'NewGameJoin', [u32(1), u32(5)]
    if kind == 0x22:
        return 'NewGameVote', [u32(1), payload[5], zstr(6)]
    if kind == 0x2c:
        sender = zstr(1)
        return 'IncomingMessage', [sender, zstr(2 + len(sender))]
    if kind == 0x21:
        players = [(zstr(14 + 36 * i), u32(14 + 36 * i + 32)) for i in range(u32(6))]
        return 'NewGameResults', [u32(1), payload[5], players]
    return 'unknown', [payload]


class Game(Peer):
    """A scripted game: connects to its meetpoint as the library would."""

    def __init__(self, port):
        super().__init__(port, decode=game_event)
        self.send(game_request('Initialise'))

    def request(self, name, *values):
        self.send(game_request(name, *values))
