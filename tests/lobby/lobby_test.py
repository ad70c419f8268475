#!/usr/bin/env python3
"""The lobby end to end: real rallylobby servers (SQLite or a real redis-server), real
meetpoints relaying to them, scripted games and the sample game, hostile clients.

    lobby_test.py CASE --bin BUILD/bin      CASE: scale_out, server_killed, redis_restart,
                                            sqlite_restart, hostile

Every wait has a bound (WAIT seconds unless said otherwise): a server, meetpoint or message
that does not come within it fails the case. Everything started is stopped at the end."""
import argparse
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

from lobbyproto import MAGIC, VERSION, Game, Peer, encode, frame

WAIT = 10          # seconds for anything to start, connect, reconnect or arrive
PASSWORD = 'correct horse'


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def wait_for(what, check, seconds=WAIT):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if check():
            return
        time.sleep(0.05)
    raise AssertionError(f'{what}: not within {seconds} s')


def ratings_after(before, scores):
    """The lobby's rating rule, written again here to check the servers' answers."""
    return [max(0, r + 10 * sum((scores[j] < scores[i]) - (scores[j] > scores[i])
                                for j in range(len(before))))
            for i, r in enumerate(before)]


class Lab:
    """A private folder with a certificate, and every process started in it."""

    def __init__(self, bindir):
        self.bin, self.dir = bindir, tempfile.mkdtemp(prefix='lobby-test-')
        self.procs, self.redis_port = [], None
        self.ca = os.path.join(self.dir, 'cert.pem')
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes', '-days', '1',
                        '-subj', '/CN=localhost', '-addext', 'subjectAltName=DNS:localhost,IP:127.0.0.1',
                        '-keyout', os.path.join(self.dir, 'key.pem'), '-out', self.ca],
                       check=True, capture_output=True)
        with open(os.path.join(self.dir, 'password'), 'w') as f:
            f.write(PASSWORD + '\n')

    def path(self, name):
        return os.path.join(self.dir, name)

    def spawn(self, name, args):
        log = open(self.path(name + '.log'), 'w')
        proc = subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        proc.log = self.path(name + '.log')
        self.procs.append(proc)
        return proc

    def output(self, proc):
        with open(proc.log, errors='replace') as f:
            return f.read()

    def redis(self):
        if self.redis_port is None:
            self.redis_port = free_port()
        proc = self.spawn('redis', ['redis-server', '--port', str(self.redis_port), '--bind', '127.0.0.1',
                                    '--dir', self.dir, '--appendonly', 'yes', '--save', ''])
        wait_for('redis-server answering', lambda: self.ping_redis())
        return proc

    def ping_redis(self):
        try:
            with socket.create_connection(('127.0.0.1', self.redis_port), timeout=1) as s:
                s.sendall(b'PING\r\n')
                return s.recv(16).startswith(b'+PONG')
        except OSError:
            return False

    def store(self, kind):
        return f'redis://127.0.0.1:{self.redis_port}' if kind == 'redis' else self.path('lobby.db')

    def accounts(self, store, *players):
        for player in players:
            # argon2id at its least cost: the demo and real accounts use the interactive one.
            subprocess.run([self.bin + '/rallylobby', '--store', store, '--add-player', player,
                            '--password-file', self.path('password'), '--cheap-hash'],
                           check=True, capture_output=True)

    def server(self, name, store, port=0):
        port_file = self.path(name + '.port')
        if os.path.exists(port_file):
            os.remove(port_file)
        proc = self.spawn(name, [self.bin + '/rallylobby', '--store', store, '--name', name,
                                 '--listen', f'127.0.0.1:{port}', '--port-file', port_file,
                                 '--cert', self.path('cert.pem'), '--key', self.path('key.pem')])
        wait_for(name + ' listening', lambda: os.path.exists(port_file))
        with open(port_file) as f:
            proc.port = int(f.read())
        return proc

    def meetpoint(self, player, *servers):
        """A meetpoint relaying for the player, logged in; returns it with its game port."""
        registry = self.path('registry-' + player)
        os.makedirs(registry, exist_ok=True)
        env = dict(os.environ, RALLYLINK_REGISTRY_DIR=registry)
        args = [self.bin + '/meetpoint', '--register', '--gap', '0', '--player', player,
                '--password-file', self.path('password'), '--lobby-ca', self.ca,
                '--lobby', ','.join(f'localhost:{s.port}' for s in servers)]
        log = open(self.path('meetpoint-' + player + '.log'), 'w')
        proc = subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env)
        proc.log, proc.env = log.name, env
        self.procs.append(proc)
        wait_for(player + ' logged in', lambda: 'logged in to lobby server' in self.output(proc))
        port_file = os.path.join(registry, 'HKEY_LOCAL_MACHINE/Software/Brightmoor/Orvane/ClientPort')
        with open(port_file) as f:
            proc.game_port = int(f.read())
        return proc

    def game(self, meetpoint):
        game = Game(meetpoint.game_port)
        wait_for('meetpoint taking the game', lambda: 'game connection' in self.output(meetpoint))
        return game

    def close(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.kill()
            proc.wait()


def everyone_gets(games, name, values, seconds=WAIT):
    for game in games:
        got = game.expect(name, seconds)
        assert got == values, f'{name}: expected {values}, got {got}'


def play_a_round(games, names, scores):
    """games[0] starts an instance that all join; the last chats and votes, the first sends the
    results; everyone sees all of it, with the same ratings."""
    first, last = games[0], games[-1]
    first.request('StartGameInstance')
    giid = first.expect('NewGameInstance')[0]
    for game in games[1:]:
        assert game.expect('NewGameInstance', match=lambda v: v[0] == giid)
        game.request('JoinGame', giid)
        assert game.expect('NewGameJoin') == [giid, 1]
    last.request('LobbyMessage', 'Somebody Else', 'see you at the start')
    everyone_gets(games, 'IncomingMessage', [names[-1], 'see you at the start'])
    last.request('Vote', giid, 3)
    everyone_gets(games, 'NewGameVote', [giid, 3, names[-1]])
    first.request('GameResults', giid, ''.join(map(chr, scores)), 1, len(games))
    expected = list(zip(names, ratings_after([1000] * len(names), scores)))
    everyone_gets(games, 'NewGameResults', [giid, 1, expected])
    # A second member's results come back as they were set, changing nothing.
    last.request('GameResults', giid, '\x09' * len(games), 1, len(games))
    assert last.expect('NewGameResults') == [giid, 1, expected]
    return giid, expected


def scale_out(lab):
    """Two servers on one Redis, four players split between them, and the sample game."""
    lab.redis()
    store = lab.store('redis')
    names = ['Ada', 'Bram', 'Cleo', 'Dana']
    lab.accounts(store, *names, 'Eve')
    a, b = lab.server('alpha', store), lab.server('beta', store)
    meetpoints = [lab.meetpoint(n, s) for n, s in zip(names, [a, a, b, b])]
    games = [lab.game(m) for m in meetpoints]
    play_a_round(games, names, [3, 1, 2, 2])
    # The sample game, through the library, on the second server: its chat reaches everyone.
    eve = lab.meetpoint('Eve', b)
    sample = subprocess.run([lab.bin + '/sample_game'], env=eve.env, cwd=lab.dir,
                            capture_output=True, text=True, timeout=60)
    assert sample.returncode == 0, sample.stdout + sample.stderr
    everyone_gets(games, 'IncomingMessage', ['Eve', 'Ready to race?'])


def server_killed(lab):
    """A server dies mid-session: its players' meetpoints move to the other and carry on."""
    lab.redis()
    store = lab.store('redis')
    lab.accounts(store, 'Ada', 'Cleo')
    a, b = lab.server('alpha', store), lab.server('beta', store)
    ada_mp, cleo_mp = lab.meetpoint('Ada', a, b), lab.meetpoint('Cleo', b, a)
    ada, cleo = lab.game(ada_mp), lab.game(cleo_mp)
    ada.request('StartGameInstance')
    giid = ada.expect('NewGameInstance')[0]
    cleo.expect('NewGameInstance')
    a.send_signal(signal.SIGKILL)
    wait_for('Ada told that alpha went away', lambda: 'went away' in lab.output(ada_mp))
    # Made while Ada is between servers: it waits and goes out once she is back.
    ada.request('LobbyMessage', 'Ada', 'still here')
    wait_for('Ada back on beta', lambda: f'logged in to lobby server localhost:{b.port}' in lab.output(ada_mp))
    everyone_gets([ada, cleo], 'IncomingMessage', ['Ada', 'still here'])
    cleo.request('JoinGame', giid)
    assert cleo.expect('NewGameJoin') == [giid, 1]
    ada.request('GameResults', giid, '\x02\x01', 1, 2)
    everyone_gets([ada, cleo], 'NewGameResults', [giid, 1, [('Ada', 1010), ('Cleo', 990)]])


def redis_restart(lab):
    """Redis goes away and comes back: requests meanwhile are refused, then all works again."""
    redis = lab.redis()
    store = lab.store('redis')
    lab.accounts(store, 'Ada', 'Cleo')
    a, b = lab.server('alpha', store), lab.server('beta', store)
    ada = lab.game(lab.meetpoint('Ada', a))
    cleo_mp = lab.meetpoint('Cleo', b)
    cleo = lab.game(cleo_mp)
    ada.request('StartGameInstance')
    giid = ada.expect('NewGameInstance')[0]
    cleo.request('JoinGame', giid)
    assert cleo.expect('NewGameJoin') == [giid, 1]
    redis.terminate()
    redis.wait(WAIT)
    cleo.request('Vote', giid, 2)
    wait_for('the refusal at Cleo', lambda: 'store-unavailable' in lab.output(cleo_mp))
    lab.redis()
    # The subscribers come back on their own; chat is the proof, tried until it gets through.
    end = time.monotonic() + WAIT
    while time.monotonic() < end:
        cleo.request('LobbyMessage', 'Cleo', 'back')
        if any(m and m[0] == 'IncomingMessage' for m in ada.frames(0.5)):
            break
    else:
        raise AssertionError('chat did not flow again after Redis came back')
    cleo.request('GameResults', giid, '\x01\x02', 1, 2)
    everyone_gets([ada, cleo], 'NewGameResults', [giid, 1, [('Ada', 990), ('Cleo', 1010)]])


def sqlite_restart(lab):
    """A SQLite server restarted keeps its accounts and ratings."""
    store = lab.store('sqlite')
    lab.accounts(store, 'Ada', 'Bram')
    server = lab.server('solo', store)
    ada, bram = Peer(server.port, lab.ca), Peer(server.port, lab.ca)
    ada.login('Ada', PASSWORD)
    bram.login('Bram', PASSWORD)
    ada.send(encode('StartInstance'))
    giid = ada.expect('Instance')[0]
    bram.send(encode('Join', giid))
    bram.expect('JoinResult')
    ada.send(encode('Results', giid, 1, '\x05\x07', 2))
    assert ada.expect('FinalResults')[2] == [('Ada', 990), ('Bram', 1010)]
    server.terminate()
    server.wait(WAIT)
    server = lab.server('solo', store, port=server.port)
    assert Peer(server.port, lab.ca).login('Bram', PASSWORD) == ['Bram', 1010]
    assert Peer(server.port, lab.ca).login('Ada', PASSWORD) == ['Ada', 990]


# Hostile clients: what each sends, and the error it must get (rule, closed afterwards).
HOSTILE = [
    ('garbage', None, b'\x01\x00\x00\x00garbage', 'bad-frame', True),
    ('oversized frame', None, b'\x00\x00\x01\x00' + b'x' * 64, 'frame-too-large', True),
    ('no hello', None, encode('Chat', 'hi'), 'hello-first', True),
    ('old version', None, encode('Hello', MAGIC, 0, 'x'), 'version', True),
    ('wrong password', 'hello', encode('Login', 'Ada', 'guess'), 'bad-login', False),
    ('unknown player', 'hello', encode('Login', 'Nobody', PASSWORD), 'bad-login', False),
    ('second hello', 'hello', encode('Hello', MAGIC, VERSION, 'x'), 'hello-once', False),
    ('login while one is checked', 'hello', encode('Login', 'Ada', 'x') * 2, 'login-pending', False),
    ('chat before login', 'hello', encode('Chat', 'hi'), 'login-first', False),
    ('unknown type', 'login', frame(b'\x7f'), 'unknown-message', False),
    ('server message', 'login', encode('Welcome', 1, 'me'), 'unknown-message', False),
    ('text past its bound', 'login', frame(b'\x03\x00\x01' + b'x' * 256), 'bad-message', False),
    ('length past the payload', 'login', frame(b'\x03\x10\x00ab'), 'bad-message', False),
    ('vote out of range', 'login', encode('Vote', 1, 9), 'bad-message', False),
    ('vote in a game not joined', 'login', encode('Vote', 1, 1), 'not-member', False),
    ('results of a game not joined', 'login', encode('Results', 1, 1, '\x09\x00', 2), 'not-member', False),
    ('accusing in a game not joined', 'login', encode('Accuse', 1, 'Ada'), 'not-member', False),
    ('second login', 'login', encode('Login', 'Ada', PASSWORD), 'already-logged-in', False),
    ('flood', 'login', encode('Ping', 7) * 150, 'rate-limit', False),
]


def hostile(lab):
    """Hostile clients get their error and change nothing for Ada and Bram."""
    store = lab.store('sqlite')
    lab.accounts(store, 'Ada', 'Bram', 'Mallory')
    server = lab.server('solo', store)
    ada, bram = Peer(server.port, lab.ca), Peer(server.port, lab.ca)
    ada.login('Ada', PASSWORD)
    bram.login('Bram', PASSWORD)
    ada.send(encode('StartInstance'))
    giid = ada.expect('Instance')[0]
    bram.send(encode('Join', giid))
    bram.expect('JoinResult')
    assert giid == 1, 'the table above votes in game instance 1'
    failures = []
    for what, stage, data, rule, fatal in HOSTILE:
        mallory = Peer(server.port, lab.ca)
        if stage:
            mallory.send(encode('Hello', MAGIC, VERSION, 'x'))
            mallory.expect('Welcome')
        if stage == 'login':
            mallory.send(encode('Login', 'Mallory', PASSWORD))
            mallory.expect('LoggedIn')
        mallory.send(data)
        try:
            error = mallory.expect('Error')
            if error[0] != rule or error[3] != int(fatal):
                failures.append(f'{what}: got {error}')
            elif fatal and None not in mallory.frames(WAIT):
                failures.append(f'{what}: the connection stayed open')
        except AssertionError as e:
            failures.append(f'{what}: {e}')
        mallory.close()
    # Three wrong passwords close the connection.
    mallory = Peer(server.port, lab.ca)
    mallory.send(encode('Hello', MAGIC, VERSION, 'x'))
    fatal = []
    for _ in range(3):
        mallory.send(encode('Login', 'Ada', 'a'))
        fatal.append(mallory.expect('Error')[3])
    if fatal != [0, 0, 1]:
        failures.append('three wrong passwords: the third error is not fatal')
    # Plain TCP to the TLS port gets nowhere; plain TCP off loopback is refused at start.
    plain = Peer(server.port)
    plain.send(encode('Hello', MAGIC, VERSION, 'x'))
    if [m for m in plain.frames(WAIT) if m is not None]:
        failures.append('a plain client got an answer from the TLS port')
    refused = subprocess.run([lab.bin + '/rallylobby', '--plain', '--listen', '0.0.0.0:0',
                              '--store', store], capture_output=True, text=True, timeout=WAIT)
    if refused.returncode != 2 or 'loopback' not in refused.stderr:
        failures.append('--plain on a public address was not refused')
    assert not failures, '\n'.join(failures)
    # Mallory's chat carries Mallory's name; Ada and Bram lost nothing.
    mallory = Peer(server.port, lab.ca)
    mallory.login('Mallory', PASSWORD)
    mallory.send(encode('Chat', 'I am Ada'))
    assert bram.expect('ChatLine', match=lambda v: v[1] == 'I am Ada') == ['Mallory', 'I am Ada']
    ada.send(encode('Chat', 'ready'))
    assert bram.expect('ChatLine', match=lambda v: v[0] == 'Ada') == ['Ada', 'ready']
    ada.send(encode('Results', giid, 1, '\x02\x01', 2))
    assert bram.expect('FinalResults') == [giid, 1, [('Ada', 1010), ('Bram', 990)]]


CASES = {f.__name__: f for f in (scale_out, server_killed, redis_restart, sqlite_restart, hostile)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('case', choices=sorted(CASES))
    parser.add_argument('--bin', required=True)
    args = parser.parse_args()
    lab = Lab(os.path.abspath(args.bin))
    started = time.monotonic()
    try:
        CASES[args.case](lab)
    except Exception:
        print(f'FAILED {args.case}; logs in {lab.dir}', file=sys.stderr)
        lab.close()
        raise
    lab.close()
    subprocess.run(['rm', '-rf', lab.dir])
    print(f'passed {args.case} in {time.monotonic() - started:.1f} s')


if __name__ == '__main__':
    main()
