#!/usr/bin/env python3
"""The operator's side of rallylobby against real processes: metrics scraped during a session
and checked with promtool, bans across two servers on a real redis-server (and on SQLite),
/readyz as Redis stops and comes back, the API's refusals, and the console page in chromium.

    admin_test.py CASE --bin BUILD/bin      CASE: metrics, bans_sqlite, bans_redis, api, console

Every wait has a bound (WAIT seconds unless said otherwise)."""
import http.client
import json
import os
import resource
import ssl
import subprocess

from lobby_test import race
from lobbylab import PASSWORD, WAIT, port_in, run, wait_for
from lobbyproto import encode

TOKEN = 'a-token-of-the-operators-own-32b'
HERE = os.path.dirname(os.path.abspath(__file__))


class Admin:
    """HTTP to a server's admin listener, with the token unless told otherwise."""

    def __init__(self, lab, server):
        self.port = port_in(lab.path(server.name + '.port.admin'), 'the admin listener')
        self.tls = ssl.create_default_context(cafile=lab.ca) if '--admin-cert' in server.args else None

    def request(self, method, path, body=None, token=TOKEN, raw=None):
        """(status, the answer as JSON where it is, else as text)."""
        connection = (http.client.HTTPSConnection('localhost', self.port, context=self.tls, timeout=WAIT)
                      if self.tls else http.client.HTTPConnection('127.0.0.1', self.port, timeout=WAIT))
        headers = {'Authorization': 'Bearer ' + token} if token else {}
        connection.request(method, path, body=raw if body is None else json.dumps(body), headers=headers)
        response = connection.getresponse()
        text = response.read().decode()
        connection.close()
        try:
            return response.status, json.loads(text)
        except ValueError:
            return response.status, text

    def get(self, path):
        status, answer = self.request('GET', path)
        assert status == 200, f'GET {path}: {status} {answer}'
        return answer

    def post(self, path, body):
        status, answer = self.request('POST', path, body)
        assert status in (200, 201), f'POST {path}: {status} {answer}'
        return answer


def admin_server(lab, name, store, tls=False, *options):
    """A server with its admin listener (TLS with the lab's certificate, or plain)."""
    token = lab.path('token')
    with open(token, 'w') as f:
        f.write(TOKEN + '\n')
    admin = ['--admin', '127.0.0.1:0', '--admin-token-file', token]
    if tls:
        admin += ['--admin-cert', lab.path('cert.pem'), '--admin-key', lab.path('key.pem')]
    return lab.server(name, store, 0, *admin, *options)


def scrape(lab, admin):
    """The metrics as {sample: value}, after promtool found the text valid."""
    text = admin.get('/metrics')
    check = subprocess.run(['promtool', 'check', 'metrics'], input=text, capture_output=True, text=True)
    assert check.returncode == 0, check.stdout + check.stderr
    samples = {}
    for line in text.splitlines():
        if line and not line.startswith('#'):
            name, value = line.rsplit(' ', 1)
            samples[name] = float(value)
    return samples


def metrics(lab):
    """Counters move as a scripted session does: logins of each result, chat lines and their
    fan-out, refusals, store calls. The log is one JSON object a line."""
    store = lab.store('sqlite')
    lab.accounts(store, 'Ada', 'Bram')
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard))  # the server raises it to the hard limit
    server = admin_server(lab, 'solo', store, False, '--log-format', 'json')
    admin = Admin(lab, server)
    before = scrape(lab, admin)
    ada, bram, mallory = lab.peer(server, 'Ada'), lab.peer(server, 'Bram'), lab.peer(server).hello()
    for name, password in (('Ada', 'wrong'), ('Nobody', PASSWORD)):
        mallory.send(encode('Login', name, password))
        assert mallory.expect('Error')[0] == 'bad-login'
    for i in range(3):
        ada.send(encode('Chat', f'line {i}'))
        bram.expect('ChatLine')
    ada.send(encode('Vote', 99, 1))
    assert ada.expect('Error')[0] == 'not-member'
    after = scrape(lab, admin)
    moved = {name: after.get(name, 0) - before.get(name, 0) for name in after}
    expected = {
        'rallylobby_logins_total{result="ok"}': 2,
        'rallylobby_logins_total{result="wrong_password"}': 1,
        'rallylobby_logins_total{result="unknown"}': 1,
        'rallylobby_messages_total{direction="in",type="Chat"}': 3,
        'rallylobby_messages_total{direction="out",type="ChatLine"}': 6,  # to Ada and Bram
        'rallylobby_refusals_total{rule="bad-login"}': 2,
        'rallylobby_refusals_total{rule="not-member"}': 1,
        'rallylobby_chat_fanout_seconds_count': 3,
        'rallylobby_players_here': 2,
        'rallylobby_connections{state="in"}': 2,
        'rallylobby_connections{state="greeted"}': 1,
        'rallylobby_store_errors_total{kind="failed"}': 0,
    }
    wrong = {name: (moved.get(name), value) for name, value in expected.items() if moved.get(name) != value}
    assert not wrong, f'(moved, expected): {wrong}'
    assert moved['rallylobby_store_call_seconds_count'] >= 5, moved  # the logins and chat lines
    assert after['process_open_fds'] > 0 and after['process_resident_memory_bytes'] > 0
    assert after['process_max_fds'] == hard
    # What the API shows of the same session.
    assert [line['text'] for line in admin.get('/api/chat')['lines']] == ['line 0', 'line 1', 'line 2']
    assert sorted(p['name'] for p in admin.get('/api/players')['players']) == ['Ada', 'Bram']
    with open(server.log) as f:
        lines = [json.loads(line) for line in f]
    assert all({'time', 'level', 'event'} <= set(line) for line in lines)
    assert {'event': 'login-failed', 'player': 'Nobody', 'detail': 'unknown player'}.items() <= \
        next(line for line in lines if line.get('player') == 'Nobody').items()


def bans(lab, kind):
    """A ban through one server's API closes the player's connection on the other within a
    second (a ban's promise), with the reason and the expiry; later logins are refused the same
    way, also after both servers restart; unbanned, the player is back, with her rating. A
    SQLite file, which holds the password hashes, is its owner's alone. With Redis, /readyz
    answers 503 while Redis is away."""
    if kind == 'redis':
        lab.redis()
    store = lab.store(kind)
    lab.accounts(store, 'Ada', 'Bram')
    assert kind == 'redis' or os.stat(store).st_mode & 0o077 == 0, oct(os.stat(store).st_mode)
    first = admin_server(lab, 'alpha', store, True)
    second = admin_server(lab, 'beta', store) if kind == 'redis' else first
    ada, bram = lab.peer(second, 'Ada'), lab.peer(first, 'Bram')
    race(ada, bram, scores='\x05\x07')
    bram.expect('FinalResults')
    ban = Admin(lab, first).post('/api/ban', {'name': 'ada', 'reason': 'cheating', 'seconds': 10 * 366 * 86400})
    assert ban['name'] == 'Ada', ban
    error = ada.expect('Error', 1)
    assert error[0] == 'banned' and error[3] == 1 and 'cheating' in error[2] and 'until 20' in error[2], error
    assert 'eof' in ada.events(WAIT), 'the banned connection stayed open'

    def refused(server, name='Ada'):
        return lab.peer(server).hello(encode('Login', name, PASSWORD)).expect('Error')
    for server, name in ((first, 'Ada'), (second, 'aDA')):
        assert refused(server, name)[:3] == ['banned', 0x02, error[2]]
    bram.send(encode('Chat', 'bye Ada'))
    bram.expect('ChatLine')  # kept before the servers stop
    first, second = lab.restart(first), (lab.restart(second) if second is not first else None)
    second = second or first
    assert refused(second)[2] == error[2], 'the ban did not outlive a restart'
    seen = Admin(lab, second)
    assert [b['name'] for b in seen.get('/api/bans')['bans']] == ['Ada']
    assert seen.get('/api/chat')['lines'][-1]['text'] == 'bye Ada'
    seen.post('/api/unban', {'name': 'Ada'})
    ada = lab.peer(first)
    assert ada.login('Ada', PASSWORD) == ['Ada', 990]
    seen.post('/api/kick', {'name': 'Ada', 'reason': 'cool down'})
    assert ada.expect('Error')[:3] == ['kicked', 0, "kicked by the lobby's operator: cool down"]
    audit = [(e['action'], e['target'], e['address']) for e in seen.get('/api/audit')['entries']]
    assert audit == [(action, 'Ada', '127.0.0.1') for action in ('ban', 'unban', 'kick')], audit
    if kind == 'redis':
        assert len({s['id'] for s in seen.get('/api/servers')['servers']}) == 2, 'two servers, two ids'
        assert seen.request('GET', '/readyz', token=None)[0] == 200
        lab.procs[0].terminate()  # the redis-server
        lab.procs[0].wait(WAIT)
        wait_for('/readyz 503 without Redis', lambda: seen.request('GET', '/readyz', token=None)[0] == 503)
        assert seen.request('GET', '/healthz', token=None)[0] == 200
        lab.redis()
        wait_for('/readyz 200 with Redis back', lambda: seen.request('GET', '/readyz', token=None)[0] == 200)


# The API's refusals: what is asked (method, path, JSON body or raw bytes, token), and the
# status and error that must come back. Ada exists; nobody is banned.
REFUSALS = [
    ('no token', 'GET', '/api/players', None, None, 401, 'token'),
    ('wrong token', 'GET', '/metrics', None, None, 401, 'token', 'x' * 32),
    ('malformed JSON', 'POST', '/api/ban', None, b'{"name": "Ada",', 400, 'bad-json'),
    ('JSON not an object', 'POST', '/api/kick', None, b'["Ada"]', 400, 'bad-json'),
    ('name missing', 'POST', '/api/ban', {'reason': 'x'}, None, 400, 'bad-field'),
    ('name not a text', 'POST', '/api/kick', {'name': 7}, None, 400, 'bad-field'),
    ('beyond 8-bit', 'POST', '/api/kick', {'name': 'Ad\u0101'}, None, 400, 'bad-field'),
    ('ban without a reason', 'POST', '/api/ban', {'name': 'Ada', 'reason': ''}, None, 400, 'bad-field'),
    ('ban for -1 s', 'POST', '/api/ban', {'name': 'Ada', 'reason': 'x', 'seconds': -1}, None, 400, 'bad-field'),
    ('unknown player banned', 'POST', '/api/ban', {'name': 'Nobody', 'reason': 'x'}, None, 404, 'unknown-player'),
    ('unknown player kicked', 'POST', '/api/kick', {'name': 'Nobody'}, None, 404, 'unknown-player'),
    ('unban of no ban', 'POST', '/api/unban', {'name': 'Ada'}, None, 404, 'not-banned'),
    ('name in another case', 'POST', '/api/accounts/create', {'name': 'ADA', 'password': 'long enough'}, None, 409, 'name-taken'),
    ('short password', 'POST', '/api/accounts/create', {'name': 'Zed', 'password': 'short'}, None, 400, 'password-rules'),
    ('bad name', 'POST', '/api/accounts/create', {'name': ' Zed', 'password': 'long enough'}, None, 400, 'name-rules'),
    ('GET of a change', 'GET', '/api/ban', None, None, 405, 'method'),
    ('unknown page', 'GET', '/api/nothing', None, None, 404, 'not-found'),
    ('body too large', 'POST', '/api/kick', None, b'{"name": "' + b'x' * 70000 + b'"}', 400, None),
]


def api(lab):
    """The refusals above; listeners without TLS off loopback refused at start; and an
    account's life through the API: made, used, given a new password, deleted."""
    store = lab.store('sqlite')
    lab.accounts(store, 'Ada')
    server = admin_server(lab, 'solo', store)
    admin = Admin(lab, server)
    failures = []
    for what, method, path, body, raw, status, rule, *token in REFUSALS:
        got, answer = admin.request(method, path, body, raw=raw, token=token[0] if token else (None if rule == 'token' else TOKEN))
        if got != status or (rule and (not isinstance(answer, dict) or answer.get('error') != rule)):
            failures.append(f'{what}: {got} {str(answer)[:120]}')
    for path in ('/healthz', '/readyz', '/', '/console.js'):
        if admin.request('GET', path, token=None)[0] != 200:
            failures.append(f'{path} needs no token')
    for args, words, code in ((['--listen', '0.0.0.0:0'], 'loopback', 2),
                              (['--admin', '0.0.0.0:0', '--admin-token-file', lab.path('token')], 'loopback', 2),
                              (['--admin', '127.0.0.1:0'], 'token', 2),
                              (['--admin', '127.0.0.1:0', '--admin-token-file', lab.path('password')], '16', 2),
                              (['--admin', '127.0.0.1:0', '--admin-token-file', lab.path('none')], "can't read", 1)):
        run = subprocess.run([lab.bin + '/rallylobby', '--plain', '--store', store, *args],
                             capture_output=True, text=True, timeout=WAIT)
        if run.returncode != code or words not in run.stderr:
            failures.append(f'{args}: exit {run.returncode}, {run.stderr.strip()}')
    assert not failures, '\n'.join(failures)
    assert admin.post('/api/accounts/create', {'name': 'Cleo', 'password': 'first password'})['name'] == 'Cleo'
    assert lab.peer(server).login('cleo', 'first password') == ['Cleo', 1000]
    admin.post('/api/accounts/password', {'name': 'CLEO', 'password': 'second password'})
    assert [a['name'] for a in admin.get('/api/accounts?prefix=c')['accounts']] == ['Cleo']
    cleo = lab.peer(server, 'Cleo', 'second password')
    admin.post('/api/accounts/delete', {'name': 'Cleo'})
    assert cleo.expect('Error')[0] == 'account-deleted'
    assert admin.get('/api/accounts?prefix=c')['accounts'] == []
    actions = [e['action'] for e in admin.get('/api/audit')['entries']]
    assert actions == ['create-account', 'set-password', 'delete-account'], actions


def console(lab):
    """The console page in chromium: the operator logs in with the token, sees Ada and a player
    whose name is markup (shown as text), bans Ada and sees her gone; Ada's meetpoint side gets
    the ban."""
    store = lab.store('sqlite')
    marked = '<b id="x">Eve</b>'
    lab.accounts(store, 'Ada', marked)
    server = admin_server(lab, 'solo', store)
    ada, eve = lab.peer(server, 'Ada'), lab.peer(server, marked)
    eve.send(encode('Chat', '<img src=x id=y>'))
    browser = os.path.join(HERE, '..', 'browser')
    if not os.path.isdir(os.path.join(browser, 'node_modules', 'playwright-core')):
        raise AssertionError(f'playwright-core is not installed: run npm ci in {browser}')
    run = subprocess.run(['node', os.path.join(browser, 'admin_console.test.mjs'),
                          f'http://127.0.0.1:{Admin(lab, server).port}/', TOKEN, marked],
                         capture_output=True, text=True, timeout=90)
    assert run.returncode == 0, run.stdout + run.stderr
    error = ada.expect('Error')
    assert error[0] == 'banned' and 'console test' in error[2], error


CASES = {'metrics': metrics, 'bans_sqlite': lambda lab: bans(lab, 'sqlite'),
         'bans_redis': lambda lab: bans(lab, 'redis'), 'api': api, 'console': console}


if __name__ == '__main__':
    run(CASES)
