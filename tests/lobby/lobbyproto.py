"""The lobby protocol (docs/lobby.md) and the game's protocol (docs/protocol.md), just enough
for the tests to act as a hostile or scripted meetpoint, and as a scripted game."""
import socket
import ssl
import struct
import time

MAGIC, VERSION = 0x424C4C52, 1
# name: (type, fields); a field is 'u8', 'u32', 'text' or 'records'
LOBBY = {
    'Hello': (0x01, ['u32', 'u32', 'text']), 'Login': (0x02, ['text', 'text']),
    'Chat': (0x03, ['text']), 'StartInstance': (0x04, []), 'Join': (0x05, ['u32']),
    'Vote': (0x06, ['u32', 'u8']), 'Results': (0x07, ['u32', 'u8', 'text', 'u32']),
    'Accuse': (0x08, ['u32', 'text']), 'Ping': (0x09, ['u32']),
    'Welcome': (0x41, ['u32', 'text']), 'LoggedIn': (0x42, ['text', 'u32']),
    'Error': (0x43, ['text', 'u8', 'text', 'u8']), 'Instance': (0x44, ['u32', 'u32', 'text']),
    'JoinResult': (0x45, ['u32', 'u32']), 'VoteCast': (0x46, ['u32', 'u8', 'text']),
    'FinalResults': (0x47, ['u32', 'u8', 'records']), 'ChatLine': (0x48, ['text', 'text']),
    'Pong': (0x49, ['u32']),
}
BY_TYPE = {t: (name, fields) for name, (t, fields) in LOBBY.items()}


def frame(payload):
    return struct.pack('<I', len(payload) + 4) + payload


def encode(name, *values):
    code, fields = LOBBY[name]
    out = bytes([code])
    for kind, value in zip(fields, values):
        if kind == 'u8':
            out += bytes([value])
        elif kind == 'u32':
            out += struct.pack('<I', value)
        else:
            value = value.encode('latin-1') if isinstance(value, str) else value
            out += struct.pack('<H', len(value)) + value
    return frame(out)


def decode(payload):
    name, fields = BY_TYPE[payload[0]]
    at, values = 1, []

    def text():
        nonlocal at
        n = struct.unpack_from('<H', payload, at)[0]
        at += 2 + n
        return payload[at - n:at].decode('latin-1')
    for kind in fields:
        if kind == 'u8':
            values.append(payload[at])
            at += 1
        elif kind == 'u32':
            values.append(struct.unpack_from('<I', payload, at)[0])
            at += 4
        elif kind == 'text':
            values.append(text())
        else:
            count = struct.unpack_from('<H', payload, at)[0]
            at += 2
            records = []
            for _ in range(count):
                player = text()
                records.append((player, struct.unpack_from('<I', payload, at)[0]))
                at += 4
            values.append(records)
    return name, values


class Peer:
    """A connection that speaks frames: to the lobby server (lobby=True) or, as a game, to
    meetpoint (lobby=False, raw game frames)."""

    def __init__(self, port, ca=None, host='127.0.0.1', lobby=True):
        sock = socket.create_connection((host, port), timeout=5)
        if ca:
            context = ssl.create_default_context(cafile=ca)
            sock = context.wrap_socket(sock, server_hostname='localhost')
        self.sock, self.lobby, self.buffer = sock, lobby, b''

    def send(self, data):
        self.sock.sendall(data)

    def close(self):
        self.sock.close()

    def frames(self, seconds):
        """Every frame that arrives within the time, then None once the peer has closed."""
        end = time.monotonic() + seconds
        while True:
            while len(self.buffer) >= 4:
                n = struct.unpack_from('<I', self.buffer)[0]
                if len(self.buffer) < n:
                    break
                payload, self.buffer = self.buffer[4:n], self.buffer[n:]
                yield decode(payload) if self.lobby else payload
            left = end - time.monotonic()
            if left <= 0:
                return
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(65536)
            except (socket.timeout, ssl.SSLError, TimeoutError):
                return
            except OSError:
                data = b''
            if not data:
                yield None
                return
            self.buffer += data

    def expect(self, name, seconds=5, match=lambda values: True):
        """The values of the first such message within the time; fails otherwise."""
        seen = []
        for message in self.frames(seconds):
            if message is None:
                break
            if message[0] == name and match(message[1]):
                return message[1]
            seen.append(message)
        raise AssertionError(f'no {name} within {seconds} s; got {seen}')

    def login(self, player, password):
        self.send(encode('Hello', MAGIC, VERSION, 'test'))
        self.expect('Welcome')
        self.send(encode('Login', player, password))
        return self.expect('LoggedIn')
