#!/usr/bin/env python3
"""meetpoint's relay on each system against real rallylobby servers: the servers it must refuse,
and, for the Windows meetpoint under Wine, a session with a Linux player and a server killed.

    relay_tls_test.py CASE --bin LINUX_BIN [--windows-bin BIN --wine-run SCRIPT]
        CASE: refusals (of the Linux meetpoint, or of the Windows one with --windows-bin),
              mixed_session, server_killed (Windows only)

The Linux build's rallylobby and meetpoint serve as the Linux side in every case. Every wait
has a bound (lobby_test.WAIT unless said otherwise)."""
import argparse
import os
import re
import shutil
import socket
import ssl
import subprocess
import sys
import threading
import time

from lobby_test import PASSWORD, WAIT, Lab, play_a_round, ratings_after, server_killed, wait_for
from lobbyproto import MAGIC, encode

HERE = os.path.dirname(os.path.abspath(__file__))


def windows_path(path):
    """The path as a Windows program under Wine sees it (drive Z: is the root)."""
    return 'Z:' + path.replace('/', '\\')


class RelayLab(Lab):
    """Lab with meetpoints of either system; the players in `windows` get the Windows one."""

    def __init__(self, linux_bin, windows_bin=None, wine_run=None):
        super().__init__(linux_bin)
        self.windows_bin, self.wine_run, self.windows = windows_bin, wine_run, set()

    def relay(self, windows, player, servers, ca=True, register=False, gap=0):
        """A meetpoint relaying for the player to the servers (HOST:PORT), with the game port it
        listens on; it is not waited for to log in."""
        tag = f'meetpoint-{player}'
        port_file = self.path(tag + '.port')
        files = {'--port-file': port_file, '--password-file': self.path('password')}
        if ca:
            files['--lobby-ca'] = ca if isinstance(ca, str) else self.ca
        command = [self.bin + '/meetpoint']
        if windows:
            command = [self.wine_run, self.windows_bin + '/meetpoint.exe']
            files = {option: windows_path(path) for option, path in files.items()}
        args = command + ['--port', '0', '--gap', str(gap), '--player', player,
                          '--lobby', ','.join(servers)] + [a for kv in files.items() for a in kv]
        if register:
            args.append('--register')
        proc = self.spawn(tag, args)
        wait_for(tag + ' listening', lambda: os.path.exists(port_file) and os.path.getsize(port_file))
        with open(port_file) as f:
            proc.game_port = int(f.read())
        return proc

    def meetpoint(self, player, *servers):
        if player not in self.windows:
            return super().meetpoint(player, *servers)
        proc = self.relay(True, player, [f'localhost:{s.port}' for s in servers])
        wait_for(player + ' logged in', lambda: 'logged in to lobby server' in self.output(proc))
        return proc


class Recorder:
    """A server the relay must refuse. It keeps every byte it is sent, decrypted for TLS: the
    relay must send nothing of the lobby's protocol over a connection it does not trust.
    kind: 'tls' (with a certificate chain file and key), 'plain' (answers as a plain-TCP lobby
    server does to bytes it can't read: an error, then it closes) or 'silent' (never answers)."""

    def __init__(self, kind, chain=None, key=None):
        self.kind, self.received = kind, bytearray()
        self.context = None
        if kind == 'tls':
            self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.context.load_cert_chain(chain, key)
        self.listener = socket.create_server(('127.0.0.1', 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.talk, args=(conn,), daemon=True).start()

    def talk(self, conn):
        conn.settimeout(WAIT)
        try:
            if self.context:
                conn = self.context.wrap_socket(conn, server_side=True)
            while True:
                data = conn.recv(65536)
                if not data:
                    break
                self.received += data
                if self.kind == 'plain':
                    conn.sendall(encode('Error', 'frame-too-large', 0, 'not a frame', 1))
                    break
        except (OSError, ssl.SSLError):
            pass
        conn.close()

    def close(self):
        self.listener.close()


def certificates(lab):
    """The good certificate (cert.pem, self-signed for localhost and 127.0.0.1): data/'s, whose
    signature over itself has an s one byte short, as about one ECDSA signature in 128 has;
    Wine's crypt32 can't verify such a signature, and a certificate trusted as it is must still
    be taken. (Made by signing again, with the key beside it, until openssl asn1parse showed a
    short integer.) Beside it, certificates for another name, from another CA, and one that has
    expired (issued by a CA of its own); and the file the relay trusts: the good one, the other
    name's, the CA."""
    for name in ['cert', 'key']:
        shutil.copy(os.path.join(HERE, 'data', f'short-signature-{name}.pem'), lab.path(name + '.pem'))

    def run(*args):
        subprocess.run(args, check=True, capture_output=True, cwd=lab.dir)
    key = ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes']
    run('openssl', 'req', '-x509', *key, '-days', '1', '-subj', '/CN=other', '-addext',
        'subjectAltName=DNS:other.example', '-keyout', 'wrong.key', '-out', 'wrong.pem')
    run('openssl', 'req', '-x509', *key, '-days', '1', '-subj', '/CN=localhost', '-addext',
        'subjectAltName=DNS:localhost,IP:127.0.0.1', '-keyout', 'other.key', '-out', 'other.pem')
    run('openssl', 'req', '-x509', *key, '-days', '30', '-subj', '/CN=TestCA', '-keyout', 'ca.key',
        '-out', 'ca.pem')
    run('openssl', 'req', *key, '-subj', '/CN=localhost', '-keyout', 'expired.key', '-out', 'expired.csr')
    os.makedirs(lab.path('ca/new'))
    open(lab.path('ca/index.txt'), 'w').close()
    with open(lab.path('ca/serial'), 'w') as f:
        f.write('01\n')
    with open(lab.path('ca.cnf'), 'w') as f:
        f.write('[ca]\ndefault_ca=d\n[d]\ndir=ca\ndatabase=ca/index.txt\nnew_certs_dir=ca/new\n'
                'serial=ca/serial\ndefault_md=sha256\npolicy=p\ncopy_extensions=copy\n'
                '[p]\ncommonName=supplied\n[ext]\nsubjectAltName=DNS:localhost,IP:127.0.0.1\n')
    run('openssl', 'ca', '-batch', '-config', 'ca.cnf', '-cert', 'ca.pem', '-keyfile', 'ca.key',
        '-in', 'expired.csr', '-out', 'expired.pem', '-startdate', '20200101000000Z',
        '-enddate', '20200102000000Z', '-extensions', 'ext')
    with open(lab.path('expired-chain.pem'), 'w') as chain, open(lab.path('trusted.pem'), 'w') as trusted:
        for name, into in [('expired.pem', [chain]), ('ca.pem', [chain, trusted]),
                           ('cert.pem', [trusted]), ('wrong.pem', [trusted])]:
            with open(lab.path(name)) as f:
                text = f.read()
            for out in into:
                out.write(text)


# Servers the relay must refuse: what each is, its kind, its certificate chain and key (files
# of the lab), the host the relay is given, what it trusts (the file of certificates above, or
# the system's store) and what it says.
REFUSALS = [
    ('a certificate from another CA', 'tls', 'other.pem', 'other.key', 'localhost', 'file',
     'its certificate is not trusted (self-signed certificate)'),
    ('a certificate for another name', 'tls', 'wrong.pem', 'wrong.key', 'localhost', 'file',
     'its certificate does not name localhost'),
    ('an address the certificate does not list', 'tls', 'wrong.pem', 'wrong.key', '127.0.0.1', 'file',
     'its certificate does not name 127.0.0.1'),
    ('an expired certificate', 'tls', 'expired-chain.pem', 'expired.key', 'localhost', 'file',
     'its certificate has expired or is not valid yet'),
    ('plain TCP on the TLS port', 'plain', None, None, 'localhost', 'file', 'it does not speak TLS'),
    ('a server that accepts and never answers', 'silent', None, None, 'localhost', 'file',
     'no handshake within 3 s'),
    ('a self-signed certificate', 'tls', 'cert.pem', 'key.pem', 'localhost', 'system',
     'its certificate is not trusted (self-signed certificate)'),
    ('an issuer the system does not know', 'tls', 'expired.pem', 'expired.key', 'localhost', 'system',
     'its certificate is not trusted (unable to get local issuer certificate)'),
]


def refusals(lab, windows):
    """Each refused server is the first of its own meetpoint's list; the meetpoint says why,
    sends it nothing of the lobby's protocol, and goes on to the next server: a good one,
    reached by its address, where it logs in (trusting the system's store, it is refused
    there too)."""
    certificates(lab)
    store = lab.store('sqlite')
    players = [f'P{i}' for i in range(len(REFUSALS))]
    lab.accounts(store, *players)
    good = lab.server('good', store)
    runs = []
    for player, (what, kind, chain, key, host, trust, words) in zip(players, REFUSALS):
        server = Recorder(kind, chain and lab.path(chain), key and lab.path(key))
        ca = lab.path('trusted.pem') if trust == 'file' else None
        proc = lab.relay(windows, player, [f'{host}:{server.port}', f'127.0.0.1:{good.port}'], ca=ca)
        runs.append((what, server, proc, host, words, ca))
    failures = []
    for what, server, proc, host, words, ca in runs:
        said = re.compile(rf'== TLS with {re.escape(host)}:{server.port} failed: {re.escape(words)}; '
                          rf'trying 127\.0\.0\.1:{good.port}\b')
        after = 'logged in to lobby server 127.0.0.1' if ca else f'TLS with 127.0.0.1:{good.port} failed'
        try:
            wait_for(what, lambda: said.search(lab.output(proc)) and after in lab.output(proc))
        except AssertionError as e:
            failures.append(f'{e}; meetpoint said:\n{lab.output(proc)}')
        if MAGIC.to_bytes(4, 'little') in server.received or PASSWORD.encode() in server.received:
            failures.append(f'{what}: the relay sent {bytes(server.received)!r}')
        server.close()
    assert not failures, '\n'.join(failures)


def mixed_session(lab):
    """Ada plays on Windows (the Windows meetpoint), Cleo on Linux, on one server. A scripted
    round through Ada's meetpoint crosses every message both ways; then the Windows sample game
    plays a session through the DLL, and Cleo sees its instance, joins it and hears its chat."""
    store = lab.store('sqlite')
    lab.accounts(store, 'Ada', 'Cleo')
    server = lab.server('solo', store)
    ada_mp = lab.relay(True, 'Ada', [f'localhost:{server.port}'], register=True, gap=100)
    wait_for('Ada logged in', lambda: 'logged in to lobby server' in lab.output(ada_mp))
    cleo = lab.game(lab.meetpoint('Cleo', server))
    ada = lab.game(ada_mp)
    play_a_round([ada, cleo], ['Ada', 'Cleo'], [2, 1])
    ada.close()
    wait_for('the scripted game gone', lambda: 'game connection 1 closed' in lab.output(ada_mp))

    game = lab.spawn('sample_game', [lab.wine_run, lab.windows_bin + '/sample_game.exe'])
    giid = cleo.expect('NewGameInstance', 30)[0]
    cleo.request('JoinGame', giid)
    seen = []
    end = time.monotonic() + 60
    while game.poll() is None and time.monotonic() < end:
        seen += [m for m in cleo.frames(0.2) if m]
    seen += [m for m in cleo.frames(1) if m]
    assert game.poll() == 0 and 'session complete' in lab.output(game), lab.output(game)
    # Cleo joined before the results finished the instance, so she gets them too.
    assert ('NewGameJoin', [giid, 1]) in seen, seen
    assert ('IncomingMessage', ['Ada', 'Ready to race?']) in seen, seen
    ratings = list(zip(['Ada', 'Cleo'], ratings_after([1010, 990], [3, 1])))
    assert ('NewGameResults', [giid, 1, ratings]) in seen, seen


def windows_server_killed(lab):
    lab.windows.add('Ada')
    server_killed(lab)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('case', choices=['refusals', 'mixed_session', 'server_killed'])
    parser.add_argument('--bin', required=True, help="the linux build's bin folder")
    parser.add_argument('--windows-bin')
    parser.add_argument('--wine-run')
    args = parser.parse_args()
    windows = args.windows_bin is not None
    if not windows and args.case != 'refusals':
        parser.error(f'{args.case} is a case of the Windows meetpoint: give --windows-bin')
    for program in ['rallylobby', 'meetpoint']:
        if not os.path.exists(os.path.join(args.bin, program)):
            sys.exit(f'FAILED {args.case}: {args.bin}/{program} is missing; build the linux preset first')
    absolute = (lambda path: path and os.path.abspath(path))
    lab = RelayLab(absolute(args.bin), absolute(args.windows_bin), absolute(args.wine_run))
    here = os.getcwd()
    os.chdir(lab.dir)  # the sample game writes its log where it runs
    case = {'refusals': lambda: refusals(lab, windows), 'mixed_session': lambda: mixed_session(lab),
            'server_killed': lambda: windows_server_killed(lab)}[args.case]
    started = time.monotonic()
    try:
        case()
    except Exception:
        print(f'FAILED {args.case}; logs in {lab.dir}', file=sys.stderr)
        lab.close()
        raise
    lab.close()
    os.chdir(here)
    subprocess.run(['rm', '-rf', lab.dir])
    print(f'passed {args.case} in {time.monotonic() - started:.1f} s')


if __name__ == '__main__':
    main()
