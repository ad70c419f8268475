#!/usr/bin/env python3
"""meetpoint's relay against real rallylobby servers: the servers it must refuse (the Linux
meetpoint, or the Windows one under Wine with --windows-bin), and under Wine a session with a
Linux player and a server killed. Every wait has a bound: lobbylab.WAIT unless said otherwise.

    relay_tls_test.py refusals|mixed_session|server_killed --bin LINUX_BIN [--windows-bin BIN --wine-run SCRIPT]
"""
import os
import re
import shutil
import socket
import ssl
import threading
import time

from lobby_test import play_a_round, server_killed
from lobbylab import PASSWORD, WAIT, run, wait_for
from lobbyproto import MAGIC, encode

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'data')


class Recorder:
    """A server the relay must refuse, keeping every byte it gets (decrypted, for TLS): with a
    certificate it speaks TLS; 'plain' answers an error frame, as a plain-TCP lobby server
    does, and closes; 'silent' never answers."""

    def __init__(self, kind, chain=None, key=None):
        self.kind, self.received, self.context = kind, bytearray(), None
        if chain:
            self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.context.load_cert_chain(chain, key)
        self.listener = socket.create_server(('127.0.0.1', 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):  # a connection at a time, as the relay makes them
        while True:
            try:
                conn = self.listener.accept()[0]
            except OSError:
                return
            with conn:
                try:
                    conn.settimeout(WAIT)
                    conn = self.context.wrap_socket(conn, server_side=True) if self.context else conn
                    while data := conn.recv(65536):
                        self.received += data
                        if self.kind == 'plain':
                            conn.sendall(encode('Error', 'frame-too-large', 0, 'not a frame', 1))
                            break
                except OSError:
                    pass


def certificates(lab):
    """The good certificate (cert.pem, self-signed for localhost and 127.0.0.1) is data/'s: its
    signature over itself has an s one byte short, as about one ECDSA signature in 128 has,
    which Wine's crypt32 can't verify; trusted as it is, it must be taken all the same. (Made
    by signing again with its key until openssl asn1parse showed a short integer.) Beside it,
    from data/relay/: certificates for another name, from another CA, and an expired one from
    a CA of its own (made with openssl req and openssl ca, the others valid for a century, and
    every signature of full length, so that only the reason under test refuses them); and the
    file the relay trusts: the good one, the other name's and the CA's."""
    for name in ['cert', 'key']:
        shutil.copy(f'{DATA}/short-signature-{name}.pem', lab.path(name + '.pem'))
    for name in os.listdir(f'{DATA}/relay'):
        shutil.copy(f'{DATA}/relay/{name}', lab.path(name))


# Servers the relay must refuse: what each is, its kind or certificate chain and key (files of
# the lab), the host the relay is given, what it trusts (trusted.pem, or the system's store)
# and what it says.
REFUSALS = [
    ('a certificate from another CA', 'other.pem', 'other.key', 'localhost', 'trusted.pem',
     'its certificate is not trusted (self-signed certificate)'),
    ('a certificate for another name', 'wrong.pem', 'wrong.key', 'localhost', 'trusted.pem',
     'its certificate does not name localhost'),
    ('an address the certificate does not list', 'wrong.pem', 'wrong.key', '127.0.0.1', 'trusted.pem',
     'its certificate does not name 127.0.0.1'),
    ('an expired certificate', 'expired-chain.pem', 'expired.key', 'localhost', 'trusted.pem',
     'its certificate has expired or is not valid yet'),
    ('plain TCP on the TLS port', 'plain', None, 'localhost', 'trusted.pem', 'it does not speak TLS'),
    ('a server that never answers', 'silent', None, 'localhost', 'trusted.pem', 'no handshake within 6 s'),
    ('a self-signed certificate', 'cert.pem', 'key.pem', 'localhost', None,
     'its certificate is not trusted (self-signed certificate)'),
    ('an issuer the system does not know', 'expired.pem', 'expired.key', 'localhost', None,
     'its certificate is not trusted (unable to get local issuer certificate)'),
]


def refusals(lab):
    """Each refused server is the first of its own meetpoint's list: the meetpoint says why,
    sends it nothing of the lobby's protocol, and goes on to the next server, a good one reached
    by its address, where it logs in (trusting the system's store, it is refused there too)."""
    certificates(lab)
    store = lab.store('sqlite')
    lab.accounts(store, 'Ada', *[f'P{i}' for i in range(len(REFUSALS))])
    good = lab.server('good', store)
    runs = []
    if lab.windows_bin:
        lab.windows.update(f'P{i}' for i in range(len(REFUSALS)))
    for i, (what, chain, key, host, ca, words) in enumerate(REFUSALS):
        server = Recorder(chain) if key is None else Recorder('tls', lab.path(chain), lab.path(key))
        proc = lab.meetpoint(f'P{i}', f'{host}:{server.port}', f'127.0.0.1:{good.port}',
                             ca=lab.path(ca) if ca else False, login=False)
        said = rf'== TLS with {re.escape(host)}:{server.port} failed: {re.escape(words)}; trying 127\.0\.0\.1:{good.port}\b'
        then = 'logged in to lobby server 127.0.0.1' if ca else f'TLS with 127.0.0.1:{good.port} failed'
        runs.append((what, server, proc, said, then))
    failures = []
    for what, server, proc, said, then in runs:
        try:
            wait_for(what, lambda: re.search(said, lab.output(proc)) and then in lab.output(proc))
        except AssertionError as e:
            failures.append(f'{e}; meetpoint said:\n{lab.output(proc)}')
        if MAGIC.to_bytes(4, 'little') in server.received or PASSWORD.encode() in server.received:
            failures.append(f'{what}: the relay sent {bytes(server.received)!r}')
    assert not failures, '\n'.join(failures)
    # A server named without its port is said at once, and the next one is tried.
    assert "== can't resolve localhost; trying" in lab.output(lab.meetpoint('Ada', 'localhost', good))


def mixed_session(lab):
    """Ada plays on Windows, Cleo on Linux, on one server. A scripted round through Ada's
    meetpoint crosses every message both ways; then the Windows sample game plays through the
    DLL, and Cleo sees its instance, joins it, hears its chat, reports the same results and
    gets them back; the two raced within the pair's cool-down, so their ratings stay."""
    lab.accounts(lab.store('sqlite'), 'Ada', 'Cleo')
    server = lab.server('solo', lab.store('sqlite'))
    lab.windows.add('Ada')
    ada_mp = lab.meetpoint('Ada', server, register=True, gap=100)
    cleo, ada = lab.game(lab.meetpoint('Cleo', server)), lab.game(ada_mp)
    giid = play_a_round([ada, cleo], ['Ada', 'Cleo'], [2, 1], [1010, 990])
    # A burst (votes: chat has a tighter rate): several of the server's records come to Ada's
    # relay in one read, and none is lost.
    for n in range(30):
        cleo.request('Vote', giid, n % 4)
    assert [ada.expect('NewGameVote')[1] for _ in range(30)] == [n % 4 for n in range(30)]
    ada.close()
    wait_for('the scripted game gone', lambda: 'game connection 1 closed' in lab.output(ada_mp))
    game = lab.spawn('sample_game', [lab.wine_run, lab.windows_bin + '/sample_game.exe'])
    giid = cleo.expect('NewGameInstance', 30)[0]  # 30 s: Wine starts the game
    cleo.request('JoinGame', giid)
    cleo.request('GameResults', giid, '312', 1, 2)  # what the sample game reports
    seen, end = [], time.monotonic() + 60  # the game waits at most 5 s for each of 5 answers
    while game.poll() is None and time.monotonic() < end:
        seen += [m for m in cleo.events(0.2) if m != 'eof']
    seen += [m for m in cleo.events(1) if m != 'eof']
    assert game.poll() == 0 and 'session complete' in lab.output(game), lab.output(game)
    ratings = [('Ada', 1010), ('Cleo', 990)]
    for event in [('NewGameJoin', [giid, 1]), ('IncomingMessage', ['Ada', 'Ready to race?']),
                  ('NewGameResults', [giid, 1, ratings])]:
        assert event in seen, f'{event} not in {seen}'


def windows_server_killed(lab):
    """lobby_test.py's server_killed with Ada on the Windows meetpoint."""
    lab.windows.add('Ada')
    server_killed(lab)


CASES = {'refusals': refusals, 'mixed_session': mixed_session, 'server_killed': windows_server_killed}


if __name__ == '__main__':
    run(CASES)
