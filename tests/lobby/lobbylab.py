"""What the lobby's suites share: a private folder with a certificate and a password, the
processes started in it (redis-server, rallylobby servers, meetpoints, the Windows meetpoint
under Wine), connections to them, and the runner of one named case.

Every wait has a bound (WAIT seconds unless said otherwise): a server, meetpoint or message
that does not come within it fails the case. Everything started is stopped at the end."""
import argparse
import contextlib
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

from lobbyproto import Game, Peer

WAIT = 10          # seconds for anything to start, connect, reconnect or arrive
PASSWORD = 'correct horse'


def wait_for(what, check, seconds=WAIT):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if check():
            return
        time.sleep(0.05)
    raise AssertionError(f'{what}: not within {seconds} s')


def port_in(path, what):
    """The port a program writes into path once it listens."""
    wait_for(what, lambda: os.path.exists(path) and os.path.getsize(path))
    with open(path) as f:
        return int(f.read())


@contextlib.contextmanager
def in_background(work):
    """Runs work(stop) on a thread while the block runs; stop is the event that ends it."""
    stop = threading.Event()
    thread = threading.Thread(target=work, args=(stop,), daemon=True)
    thread.start()
    try:
        yield
    finally:
        stop.set()
        thread.join(WAIT)


class Lab:
    """A private folder with a certificate, and every process started in it. Players named in
    `windows` run the Windows meetpoint (windows_bin) under Wine (wine_run)."""

    def __init__(self, bindir, windows_bin=None, wine_run=None):
        self.bin, self.dir = bindir, tempfile.mkdtemp(prefix='lobby-test-')
        self.windows_bin, self.wine_run, self.windows = windows_bin, wine_run, set()
        self.procs, self.redis_port = [], None
        self.ca = self.path('cert.pem')
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes', '-days', '1',
                        '-subj', '/CN=localhost', '-addext', 'subjectAltName=DNS:localhost,IP:127.0.0.1',
                        '-keyout', self.path('key.pem'), '-out', self.ca],
                       check=True, capture_output=True)
        with open(self.path('password'), 'w') as f:
            f.write(PASSWORD + '\n')

    def path(self, name):
        return os.path.join(self.dir, name)

    def spawn(self, name, args, env=None):
        log = open(self.path(name + '.log'), 'w')
        proc = subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                cwd=self.dir, env=env)
        proc.log = log.name
        self.procs.append(proc)
        return proc

    def output(self, proc):
        with open(proc.log, errors='replace') as f:
            return f.read()

    def redis(self):
        if self.redis_port is None:
            with socket.socket() as s:
                s.bind(('127.0.0.1', 0))
                self.redis_port = s.getsockname()[1]
        proc = self.spawn('redis', ['redis-server', '--port', str(self.redis_port), '--bind', '127.0.0.1',
                                    '--dir', self.dir, '--appendonly', 'yes', '--save', ''])
        wait_for('redis-server answering', lambda: self.redis_command('PING') == 'PONG')
        return proc

    def redis_command(self, *args):
        """One command to the test's Redis, by redis-cli; its reply ('' when Redis isn't there)."""
        return subprocess.run(['redis-cli', '-p', str(self.redis_port), *map(str, args)],
                              capture_output=True, text=True, timeout=WAIT).stdout.strip()

    def store(self, kind):
        return f'redis://127.0.0.1:{self.redis_port}' if kind == 'redis' else self.path('lobby.db')

    def add_player(self, store, player, check=True):
        # argon2id at its least cost: the demo and real accounts use the interactive one.
        return subprocess.run([self.bin + '/rallylobby', '--store', store, '--add-player', player,
                               '--password-file', self.path('password'), '--cheap-hash'],
                              check=check, capture_output=True, text=True, timeout=WAIT)

    def accounts(self, store, *players):
        for player in players:
            self.add_player(store, player)

    def server(self, name, store, port=0, *options):
        port_file = self.path(name + '.port')
        if os.path.exists(port_file):
            os.remove(port_file)
        proc = self.spawn(name, [self.bin + '/rallylobby', '--store', store, '--name', name,
                                 '--listen', f'127.0.0.1:{port}', '--port-file', port_file,
                                 '--cert', self.path('cert.pem'), '--key', self.path('key.pem'),
                                 *options])
        proc.port = port_in(port_file, name + ' listening')
        proc.name, proc.again = name, lambda: self.server(name, store, proc.port, *options)
        return proc

    def restart(self, server):
        """The same server again, on the same port."""
        server.terminate()
        server.wait(WAIT)
        return server.again()

    def meetpoint(self, player, *servers, tag='', gap=0, ca=None, login=True, register=None):
        """A meetpoint relaying for the player to the servers (processes, or HOST:PORT texts);
        its game port in game_port. Each has its own registry folder (tag tells two of one
        player apart); a Windows one writes Wine's registry only when register is true. ca:
        the file it trusts (the lab's certificate; False for the system's store). login:
        waited for to log in."""
        windows = player in self.windows
        registry = self.path('registry-' + player + tag)
        os.makedirs(registry, exist_ok=True)
        files = ['--port-file', registry + '.port', '--password-file', self.path('password')]
        if ca is not False:
            files += ['--lobby-ca', ca or self.ca]
        command = [self.bin + '/meetpoint']
        if windows:  # Wine's drive Z: is the root
            assert self.windows_bin and self.wine_run, 'a Windows player needs --windows-bin and --wine-run'
            command = [self.wine_run, self.windows_bin + '/meetpoint.exe']
            files = [f if f.startswith('--') else 'Z:' + f.replace('/', '\\') for f in files]
        hosts = ','.join(s if isinstance(s, str) else f'localhost:{s.port}' for s in servers)
        env = dict(os.environ, RALLYLINK_REGISTRY_DIR=registry)
        proc = self.spawn('meetpoint-' + player + tag, command + files + [
            '--port', '0', '--gap', str(gap), '--player', player, '--lobby', hosts,
            *['--register'] * (not windows if register is None else register)], env)
        proc.env = env
        proc.game_port = port_in(registry + '.port', player + "'s meetpoint listening")
        if login:
            wait_for(player + ' logged in', lambda: 'logged in to lobby server' in self.output(proc))
        return proc

    def game(self, meetpoint):
        game = Game(meetpoint.game_port)
        wait_for('meetpoint taking the game', lambda: 'game connection' in self.output(meetpoint))
        return game

    def peer(self, server, player=None, password=PASSWORD, source=None):
        """A TLS connection to the server, logged in as the player when one is given."""
        peer = Peer(server.port, self.ca, source=source)
        if player is not None:
            peer.login(player, password)
        return peer

    def close(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.kill()
            proc.wait()


def run(cases):
    """Runs the case named on the command line, in a lab of its own kept only when it fails.
    --windows-bin and --wine-run give the Windows programs, for the cases that run them."""
    parser = argparse.ArgumentParser()
    parser.add_argument('case', choices=sorted(cases))
    parser.add_argument('--bin', required=True, help="the linux preset's programs")
    parser.add_argument('--windows-bin')
    parser.add_argument('--wine-run')
    args = parser.parse_args()
    for program in ['rallylobby', 'meetpoint']:
        if not os.path.exists(os.path.join(args.bin, program)):
            sys.exit(f'FAILED {args.case}: no {args.bin}/{program}; build the linux preset first')
    absolute = (lambda path: path and os.path.abspath(path))
    lab = Lab(absolute(args.bin), absolute(args.windows_bin), absolute(args.wine_run))
    started = time.monotonic()
    try:
        cases[args.case](lab)
    except Exception:
        print(f'FAILED {args.case}; logs in {lab.dir}', file=sys.stderr)
        raise
    finally:
        lab.close()
    shutil.rmtree(lab.dir)
    print(f'passed {args.case} in {time.monotonic() - started:.1f} s')
