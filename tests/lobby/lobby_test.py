#!/usr/bin/env python3
"""The lobby end to end: real rallylobby servers (SQLite or a real redis-server), real
meetpoints relaying to them, scripted games and the sample game, hostile clients, and a table
of attacks, each of which once got through.

    lobby_test.py CASE --bin BUILD/bin      CASE: scale_out, server_killed, redis_restart,
                                            hostile, tls_peers, sign_up_STORE, or attack_ROW
                                            (ATTACKS)

Every wait has a bound (lobbylab.py). A SQLite server's restart is admin_test.py's bans."""
import contextlib
import os
import re
import signal
import socket
import ssl
import subprocess
import time

from lobbylab import PASSWORD, WAIT, in_background, port_in, run, wait_for
from lobbyproto import MAGIC, VERSION, Game, Peer, encode, frame


def everyone_gets(games, name, values, seconds=WAIT):
    for game in games:
        got = game.expect(name, seconds)
        assert got == values, f'{name}: expected {values}, got {got}'


def play_a_round(games, names, scores, ratings):
    """games[0] starts an instance that all join; the last chats and votes; the fewest members
    that make a strict majority report the same results, which makes them final; everyone sees
    all of it, with the same ratings (from 1000 each)."""
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
    for game in games[:len(games) // 2 + 1]:
        game.request('GameResults', giid, ''.join(map(chr, scores)), 1, len(games))
    expected = list(zip(names, ratings))
    everyone_gets(games, 'NewGameResults', [giid, 1, expected])
    # The last member's other results come back as they were set, changing nothing.
    last.request('GameResults', giid, '\x09' * len(games), 1, len(games))
    assert last.expect('NewGameResults') == [giid, 1, expected]
    return giid


def race(creator, *others, scores=None):
    """creator starts an instance that the others join; with scores, all report them as
    results. Returns the instance's number."""
    creator.send(encode('StartInstance', ''))
    giid = creator.expect('Instance')[0]
    for peer in others:
        peer.send(encode('Join', giid))
        assert peer.expect('JoinResult', match=lambda v: v[0] == giid) == [giid, 1]
    for peer in (creator, *others) if scores else ():
        peer.send(encode('Results', giid, 1, scores, 1 + len(others)))
    return giid


def scale_out(lab):
    """Two servers on one Redis, four players split between them, and the sample game."""
    lab.redis()
    store = lab.store('redis')
    names = ['Ada', 'Bram', 'Cleo', 'Dana']
    lab.accounts(store, *names, 'Eve')
    a, b = lab.server('alpha', store), lab.server('beta', store)
    meetpoints = [lab.meetpoint(n, s) for n, s in zip(names, [a, a, b, b])]
    games = [lab.game(m) for m in meetpoints]
    play_a_round(games, names, [3, 1, 2, 2], [1030, 970, 1000, 1000])
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
    for game in (ada, cleo):
        game.request('GameResults', giid, '\x02\x01', 1, 2)
    everyone_gets([ada, cleo], 'NewGameResults', [giid, 1, [('Ada', 1010), ('Cleo', 990)]])
    # A name longer than the lobby's 31 characters goes out cut to them.
    ada.request('AccusePlayer', giid, 'C' * 40)
    wait_for('the accusation relayed', lambda: f'=> Accuse GiID={giid} Player="{"C" * 31}"' in lab.output(ada_mp))


def redis_restart(lab):
    """Redis goes away and comes back: requests meanwhile are refused, then all works again.
    A server refuses a Redis that would not keep the lobby, and an instance number is never
    handed out twice when Redis comes back with an older state."""
    redis = lab.redis()
    store = lab.store('redis')
    lab.redis_command('CONFIG', 'SET', 'appendonly', 'no')
    refused = subprocess.run([lab.bin + '/rallylobby', '--plain', '--store', store], text=True,
                             capture_output=True, timeout=WAIT)
    assert refused.returncode == 1 and 'appendonly' in refused.stderr, refused.stderr
    lab.redis_command('CONFIG', 'SET', 'appendonly', 'yes')
    lab.accounts(store, 'Ada', 'Cleo')
    a, b = lab.server('alpha', store), lab.server('beta', store)
    ada, cleo_mp = lab.game(lab.meetpoint('Ada', a)), lab.meetpoint('Cleo', b)
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
    def chat_flows():
        cleo.request('LobbyMessage', 'Cleo', 'back')
        return any(m[0] == 'IncomingMessage' for m in ada.events(0.5))
    wait_for('chat flowing again after Redis came back', chat_flows)
    for game in (ada, cleo):
        game.request('GameResults', giid, '\x01\x02', 1, 2)
    everyone_gets([ada, cleo], 'NewGameResults', [giid, 1, [('Ada', 990), ('Cleo', 1010)]])
    # Redis rolled back to before the instance (its counter lower): the number is not reused.
    lab.redis_command('SET', 'rl:giid', 0)
    cleo.request('StartGameInstance')
    assert cleo.expect('NewGameInstance')[0] > giid


# Sign-ups that must be refused: the name and password sent, the rule, and the server that
# takes no sign-ups for the first row. The last row is the third sign-up from one address
# when two are allowed at once. The name rules themselves are names' unit table.
SIGN_UPS = [
    ('closed', 'Zed', 'long enough', 'registration-closed'),
    ('another case', 'aDA', 'long enough', 'name-taken'),
    ('short password', 'Zed', '7 bytes', 'password-rules'),
    ('control character', 'Z\x07d', 'long enough', 'name-rules'),
    ('third from one address', 'Yan', 'long enough', 'register-limit'),
]


def sign_up(lab, kind):
    """Players make their own accounts: the refusals, then a player who signs up on one server,
    logs in again on another with another case of the name, and sees who is online on both,
    the ratings table and someone joining an instance."""
    if kind == 'redis':
        lab.redis()
    store = lab.store(kind)
    lab.accounts(store, 'Ada', 'Bram')
    again = lab.add_player(store, 'ADA', check=False)
    assert again.returncode == 1 and 'Ada exists' in again.stderr, again.stderr
    closed = lab.server('closed', store)
    first = lab.server('alpha', store, 0, '--open-registration', '--register-burst', '2')
    second = lab.server('beta', store, 0, '--open-registration') if kind == 'redis' else first

    def register(server, name, password, source=None):
        return lab.peer(server, source=source).hello(encode('Register', name, password))
    peers = [register(first, name, 'long enough', '127.0.5.1') for name in ('Xia', 'Wil')]  # online
    assert [p.expect('LoggedIn') for p in peers] == [['Xia', 1000], ['Wil', 1000]]
    failures = []
    for i, (what, name, password, rule) in enumerate(SIGN_UPS):
        source = '127.0.5.1' if rule == 'register-limit' else f'127.0.6.{i + 1}'
        peers.append(register(closed if what == 'closed' else first, name, password, source))
        error = peers[-1].expect('Error')
        if error[:2] != [rule, 0x0A] or error[3] != 0:
            failures.append(f'{what}: got {error}')
        elif rule == 'register-limit' and 'retry after' not in error[2]:
            failures.append(f'{what}: no time to come back in {error}')
        # A refusal leaves the connection as it was: it can still log in.
        peers[-1].send(encode('Login', 'Bram', PASSWORD))
        if peers[-1].expect('LoggedIn') != ['Bram', 1000]:
            failures.append(f'{what}: no login after the refusal')
    assert not failures, '\n'.join(failures)
    zoe = register(first, 'Zoe', 'zoe password')
    assert zoe.expect('LoggedIn') == ['Zoe', 1000]
    # Logging in as zOE finds Zoe, who goes by her name as stored everywhere, and ends her
    # other connection.
    zoe_again = lab.peer(second)
    assert zoe_again.login('zOE', 'zoe password') == ['Zoe', 1000]
    assert zoe.expect('Error')[0] == 'logged-in-elsewhere'
    ada = lab.peer(first, 'Ada')
    everyone = [(name, 1000) for name in ('Ada', 'Bram', 'Wil', 'Xia', 'Zoe')]
    ada.send(encode('Who'))
    assert ada.expect('Online') == [5, everyone]
    giid = race(ada, zoe_again, scores='\x01\x02')  # Zoe wins: the table is not the names' order
    assert ada.expect('Joined') == [giid, 'Zoe']
    ada.expect('FinalResults')
    # Highest first, then by name, as many as asked for.
    for count, table in ((3, [('Zoe', 1010), ('Bram', 1000), ('Wil', 1000)]), (1, [('Zoe', 1010)]), (0, [])):
        ada.send(encode('Ratings', count))
        assert ada.expect('RatingsTable') == [table]
    # Zoe leaves: she is off the list of who is online.
    zoe_again.close()

    def alone():
        ada.send(encode('Who'))
        return ada.expect('Online') == [4, [('Ada', 990)] + everyone[1:-1]]
    wait_for('Zoe off the list', alone)


# Hostile clients: what each sends, and the error it must get (rule, closed afterwards, and
# words its detail must have). Wrong passwords are admin_test.py's metrics and password_guessing.
HOSTILE = [
    ('garbage', None, b'\x01\x00\x00\x00garbage', 'bad-frame', True),
    ('oversized frame', None, b'\x00\x00\x01\x00' + b'x' * 64, 'frame-too-large', True),
    ('no hello', None, encode('Chat', 'hi'), 'hello-first', True),
    ('old version', None, encode('Hello', MAGIC, 1, 'x'), 'version', True, 'got version 1'),
    ('wrong magic', None, encode('Hello', 0x12345678, VERSION, 'x'), 'version', True, 'magic 0x12345678'),
    ('second hello', 'hello', encode('Hello', MAGIC, VERSION, 'x'), 'hello-once', False),
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
    ('chat past its own rate', 'login', encode('Chat', 'hi') * 6, 'rate-limit', False, 'chat lines'),
]


def hostile(lab):
    """Hostile clients get their error and change nothing for Ada and Bram."""
    store = lab.store('sqlite')
    lab.accounts(store, 'Ada', 'Bram', 'Mallory')
    server = lab.server('solo', store)
    ada, bram = lab.peer(server, 'Ada'), lab.peer(server, 'Bram')
    giid = race(ada, bram)
    assert giid == 1, 'the table above votes in game instance 1'
    failures = []
    for what, stage, data, rule, fatal, *words in HOSTILE:
        mallory = lab.peer(server, 'Mallory' if stage == 'login' else None)
        if stage == 'hello':
            mallory.hello().expect('Welcome')
        mallory.send(data)
        try:
            error = mallory.expect('Error')
            if error[0] != rule or error[3] != int(fatal) or not all(w in error[2] for w in words):
                failures.append(f'{what}: got {error}')
            elif fatal and 'eof' not in mallory.events(WAIT):
                failures.append(f'{what}: the connection stayed open')
        except AssertionError as e:
            failures.append(f'{what}: {e}')
        mallory.close()
    # A server without --store says where its lobby is.
    default = lab.spawn('default', [lab.bin + '/rallylobby', '--plain'])
    wait_for('a line on the default store', lambda: 'no --store given' in lab.output(default))
    if lab.path('rallylobby.db') not in lab.output(default):
        failures.append('no default store named: ' + lab.output(default))
    # Plain TCP to the TLS port gets nowhere (off loopback it is refused at start: admin_test.py).
    plain = Peer(server.port).hello()
    if [m for m in plain.events(WAIT) if m != 'eof']:
        failures.append('a plain client got an answer from the TLS port')
    # TLS 1.2 without forward secrecy or with CBC is refused.
    old = ssl.create_default_context(cafile=lab.ca)
    old.maximum_version = ssl.TLSVersion.TLSv1_2
    old.set_ciphers('ECDHE-ECDSA-AES128-SHA')
    try:
        Peer(server.port, tls=old).close()
        failures.append('a CBC cipher was accepted')
    except ssl.SSLError:
        pass
    # --help and --version are answers, not mistakes.
    for program in ('rallylobby', 'meetpoint'):
        for option, words in (('--help', 'usage'), ('--version', '1.')):
            run = subprocess.run([lab.bin + '/' + program, option], capture_output=True,
                                 text=True, timeout=WAIT)
            if run.returncode != 0 or words not in run.stdout:
                failures.append(f'{program} {option}: exit {run.returncode}, {run.stdout!r}')
    # A scripted write in pieces is announced, arrives whole, and the script's end is said; an
    # instance that the script announced can be joined.
    with open(lab.path('pieces.script'), 'w') as f:
        f.write('await Initialise\nsend NewGameInstance GiID=9\ntogether pieces 3 gap 1\n'
                'send NewGameJoin GiID=7 Result=1\nend\n')
    scripted = lab.spawn('scripted', [lab.bin + '/meetpoint', '--port-file', lab.path('scripted.port'),
                                      '--script', lab.path('pieces.script')])
    game = Game(port_in(lab.path('scripted.port'), 'the scripted meetpoint'))
    said = ('== the next 13 bytes go out in pieces of 3 bytes, 1 ms apart', '== script finished')
    joins = [game.expect('NewGameInstance')[0], game.expect('NewGameJoin')]
    game.request('JoinGame', 9)
    if joins + game.expect('NewGameJoin') != [9, [7, 1], 9, 1] or not all(s in lab.output(scripted) for s in said):
        failures.append('a write in pieces: ' + lab.output(scripted))
    # A player the server turns away: said so, and the next try waits the longest pause.
    nobody = lab.meetpoint('Nobody', server, login=False)
    refused = r'refused us \(bad-login\); trying localhost:\d+ in (\d+) ms'
    wait_for('the refusal', lambda: re.search(refused, lab.output(nobody)))
    if int(re.search(refused, lab.output(nobody))[1]) < 8000:
        failures.append('a hopeless refusal retried early: ' + lab.output(nobody))
    assert not failures, '\n'.join(failures)
    # Mallory's chat carries Mallory's name; Ada and Bram lost nothing.
    mallory = lab.peer(server, 'Mallory')
    mallory.send(encode('Chat', 'I am Ada'))
    assert bram.expect('ChatLine', match=lambda v: v[1] == 'I am Ada') == ['Mallory', 'I am Ada']
    ada.send(encode('Chat', 'ready'))
    assert bram.expect('ChatLine', match=lambda v: v[0] == 'Ada') == ['Ada', 'ready']
    for peer in (ada, bram):
        peer.send(encode('Results', giid, 1, '\x02\x01', 2))
    assert bram.expect('FinalResults') == [giid, 1, [('Ada', 1010), ('Bram', 990)]]


# The attacks: each row is a way in that once worked, played against real processes, and what
# must happen instead.

def logged_in(lab, store, *players):
    """Connections of these players, logged in to a new server on the store."""
    lab.accounts(store, *players)
    server = lab.server('solo', store)
    return server, [lab.peer(server, player) for player in players]


def silent_connections(lab):
    """Connections that never start their TLS handshake are closed at its deadline (5 s), those
    that never log in at theirs (10 s), and their descriptors are released. One address keeps
    at most 16 open."""
    server = lab.server('solo', lab.store('sqlite'))
    descriptors = lambda: len(os.listdir(f'/proc/{server.pid}/fd'))
    before = descriptors()
    silent = [socket.create_connection(('127.0.0.1', server.port), source_address=(f'127.0.1.{i}', 0))
              for i in range(1, 41)]
    shaken = [lab.peer(server, source='127.0.2.1') for _ in range(16)]
    wait_for('the server holding them', lambda: descriptors() >= before + 56)
    for sock in silent:
        sock.settimeout(WAIT)
        assert sock.recv(1) == b'', 'a silent connection got bytes'
    try:
        lab.peer(server, source='127.0.2.1')
        raise AssertionError('a 17th connection from one address was let in')
    except (ssl.SSLError, OSError):
        pass
    for peer in shaken:
        assert peer.expect('Error', 2 * WAIT)[0] == 'login-timeout'
        assert 'eof' in peer.events(WAIT), 'a connection stayed open past its login deadline'
    wait_for('the descriptors released', lambda: descriptors() <= before)


def login_flood(lab):
    """Hello and Login for unknown players, 60 a second from one address, each costing a full
    password hash: a real meetpoint on another address still logs in while it goes on."""
    store = lab.store('sqlite')
    lab.accounts(store, 'Ada')
    server = lab.server('solo', store)

    def flood(stop):
        sent, open_ = 0, []
        start = time.monotonic()
        while not stop.is_set():
            try:
                # the last dozen wait for their answers
                open_.append(lab.peer(server, source='127.0.3.1').hello(encode('Login', f'nobody{sent}', 'x')))
            except OSError:
                pass  # turned away at the door: that is allowed
            if len(open_) > 12:
                open_.pop(0).close()
            sent += 1
            time.sleep(max(0, start + sent / 60 - time.monotonic()))
    with in_background(flood):
        time.sleep(3)  # three seconds of flood queue up first
        lab.meetpoint('Ada', server)


def password_guessing(lab):
    """Guessing Ada's password from one address meets the limit within a few guesses, and the
    right password from there is then refused too; Ada, from the address she used before,
    gets in at once."""
    server, (ada,) = logged_in(lab, lab.store('sqlite'), 'Ada')
    errors = []  # [rule, at, detail, closing]
    while not errors or errors[-1][0] != 'login-limit' and len(errors) < 30:
        mallory = lab.peer(server, source='127.0.4.1')
        mallory.hello().expect('Welcome')
        for _ in range(3):
            mallory.send(encode('Login', 'Ada', f'guess{len(errors)}'))
            errors.append(mallory.expect('Error'))
            if errors[-1][0] != 'bad-login':
                break
        mallory.close()
    answers = [e[0] for e in errors]
    assert answers.count('bad-login') <= 10 and answers[-1] == 'login-limit', answers
    assert [e[3] for e in errors[:3]] == [0, 0, 1], 'the third wrong password on a connection closes it'
    mallory = lab.peer(server, source='127.0.4.1').hello(encode('Login', 'Ada', PASSWORD))
    assert mallory.expect('Error')[0] == 'login-limit'
    lab.peer(server, 'Ada')  # from her own address, at once


def same_player_twice(lab):
    """The same player on two meetpoints: the older one is told, says so, and stops trying;
    the server lets Ada in twice, not over and over."""
    store = lab.store('sqlite')
    lab.accounts(store, 'Ada')
    server = lab.server('solo', store)
    first = lab.meetpoint('Ada', server)
    second = lab.meetpoint('Ada', server, tag='-other')
    wait_for('the first one stopping', lambda: 'logged in to the lobby elsewhere' in lab.output(first))
    time.sleep(3)  # room for a dozen of the old back-off's tries
    logins = lab.output(server).count('logged-in player="Ada"')
    assert logins == 2, f'{logins} logins of Ada'
    game = lab.game(second)
    game.request('LobbyMessage', 'Ada', 'still here')
    assert game.expect('IncomingMessage') == ['Ada', 'still here']


def farming(lab):
    """Mallory joins Ada and Bram's race and reports herself the winner first; then she and her
    second account play twenty quick instances, each agreed by both. Results count only as a
    majority of an instance's members report them, the ratings of two players move against
    each other once a day, and an instance of one player moves nothing: she gains nothing."""
    server, (ada, bram, mallory, mule) = logged_in(lab, lab.store('sqlite'), 'Ada', 'Bram', 'Mallory', 'Mule')
    giid = race(ada, bram, mallory)
    mallory.send(encode('Results', giid, 1, '\x01\x01\x09', 3))
    for peer in (ada, bram):
        peer.send(encode('Results', giid, 1, '\x05\x03\x00', 3))
    final = mallory.expect('FinalResults')[2]
    assert final == [('Ada', 1020), ('Bram', 1000), ('Mallory', 980)], final
    # Ada's next race is for Bram only.
    ada.send(encode('StartInstance', 'Bram'))
    closed = ada.expect('Instance')[0]
    mallory.send(encode('Join', closed))
    assert mallory.expect('JoinResult') == [closed, 0]
    for scores in ['\x09'] + ['\x09\x00'] * 20:
        mallory.send(encode('StartInstance', 'Mule'))
        giid = mallory.expect('Instance', match=lambda v: v[2] == 'Mallory')[0]
        if len(scores) == 2:
            mule.send(encode('Join', giid))
            mule.expect('JoinResult')
            mule.send(encode('Results', giid, 1, scores, 2))
        mallory.send(encode('Results', giid, 1, scores, 2))
        rating = dict(mallory.expect('FinalResults', match=lambda v: v[0] == giid)[2])['Mallory']
    assert rating == 990, f'Mallory at {rating} after farming'


def chatty_player(lab):
    """Mallory chats 45 lines a second; Bram's new instance still reaches Ada's game at once,
    though her meetpoint hands the game at most 10 events a second."""
    store = lab.store('sqlite')
    server, (bram, mallory) = logged_in(lab, store, 'Bram', 'Mallory')
    lab.accounts(store, 'Ada')
    ada = lab.game(lab.meetpoint('Ada', server, gap=100))

    def chat(stop):
        while not stop.wait(1 / 45):
            mallory.send(encode('Chat', 'la ' * 20))
    with in_background(chat):
        time.sleep(4)  # four seconds of chat pile up first
        bram.send(encode('StartInstance', ''))
        giid = bram.expect('Instance')[0]
        ada.expect('NewGameInstance', WAIT, match=lambda v: v[0] == giid)


def redis_pause(lab):
    """Redis stops answering: a Ping is answered before the request that waits for Redis,
    which gets store-unavailable at its deadline; all works again once Redis resumes."""
    redis = lab.redis()
    server, (ada, cleo) = logged_in(lab, lab.store('redis'), 'Ada', 'Cleo')
    redis.send_signal(signal.SIGSTOP)
    try:
        cleo.send(encode('Join', 1))
        ada.send(encode('Ping', 7))
        assert ada.expect('Pong') == [7]
        assert list(cleo.events(0.05)) == [], 'the Ping waited for the store'
        assert cleo.expect('Error')[0] == 'store-unavailable'
    finally:
        redis.send_signal(signal.SIGCONT)
    race(ada, cleo)


def vote_flood(lab):
    """Bram votes 1,002 times in Ada's instance while her meetpoint writes to her game once a
    minute: 1,000 votes wait for the game, and the two past them are dropped, each told."""
    store = lab.store('sqlite')
    lab.accounts(store, 'Ada', 'Bram')
    server = lab.server('solo', store, 0, '--rate', '100000')
    meetpoint = lab.meetpoint('Ada', server, gap=60000)
    ada, bram = lab.game(meetpoint), lab.peer(server, 'Bram')
    ada.request('StartGameInstance')
    giid = ada.expect('NewGameInstance')[0]
    bram.send(encode('Join', giid))
    bram.expect('JoinResult')
    for vote in [1] * 1000 + [2, 3]:  # each waits for the store, whose queue is bounded
        bram.send(encode('Vote', giid, vote))
        bram.expect('VoteCast')
    said = lambda: re.findall(r'wait already; dropped .*Vote=(\d)', lab.output(meetpoint))
    wait_for('the last vote dropped', lambda: '3' in said())
    assert said() == ['2', '3'], said()


def forged_log_line(lab):
    """A login name that carries a line end, a made-up log line and terminal escapes stays
    inside its own line of the server's log, escaped."""
    server, (ada,) = logged_in(lab, lab.store('sqlite'), 'Ada')
    mallory = lab.peer(server).hello(encode('Login', '\x1b[2K\r\n2099-01-01T00:00:00Z info', 'x'))
    assert mallory.expect('Error')[0] == 'bad-login'
    ada.send(encode('Ping', 1))
    ada.expect('Pong')
    with open(server.log, 'rb') as f:
        lines = f.read().split(b'\n')[:-1]
    line = re.compile(rb'\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (info|warning|error) [a-z-]+( [a-z]+=\S.*)?$')
    bad = [l for l in lines if not line.match(l) or re.search(rb'[\x00-\x1f\x7f]', l)]
    assert not bad and any(b'\\x1b[2K\\x0d\\x0a2099' in l for l in lines), bad


# What a TLS client sees of the server when it handles its records oddly: each row's client
# (on a connection of its own, logged in as Peer but for the first), and the events it must
# get, to the end of the connection unless the row says what it got.

def kinds(events):
    return [e if isinstance(e, str) else e[0] for e in events]


def hello_cut_short(peer, ada):
    """Half a ClientHello, then nothing: closed at the handshake deadline."""
    with contextlib.suppress(ssl.SSLWantReadError):
        peer.tls.do_handshake()
    hello = peer.outbox.read()
    peer.sock.sendall(hello[:len(hello) // 2])


def record_cut_short(peer, ada):
    """Three bytes of a Ping's record: events reach the player meanwhile, and the rest of the
    record brings the Pong."""
    record = peer.records(encode('Ping', 7))
    peer.sock.sendall(record[:3])
    ada.send(encode('Chat', 'meanwhile'))
    seen = ['ChatLine ' + peer.expect('ChatLine')[1]]
    peer.sock.sendall(record[3:])
    return seen + ['Pong %d' % peer.expect('Pong')[0]]


def ends_with_close_notify(peer, ada):
    """close_notify: answered with close_notify, then the connection closes."""
    with contextlib.suppress(ssl.SSLWantReadError):
        peer.tls.unwrap()
    peer.flush()


def fatal_error(peer, ada):
    """A frame that puts the stream out of step: the Error, then close_notify."""
    peer.send(b'\x01\x00\x00\x00garbage')


def record_tampered_with(peer, ada):
    """A record with one bit flipped: an alert, and the connection closes."""
    record = bytearray(peer.records(encode('Ping', 7)))
    record[-1] ^= 1
    peer.sock.sendall(record)


TLS_PEERS = [
    (hello_cut_short, ['eof']),
    (record_cut_short, ['ChatLine meanwhile', 'Pong 7']),
    (ends_with_close_notify, ['close_notify', 'eof']),
    (fatal_error, ['Error', 'close_notify', 'eof']),
    (record_tampered_with, ['alert', 'eof']),
]


def stops_reading(lab, server, ca, prefix):
    """A player that stops reading while four others pour out chat at 1,000 lines a second: cut
    once its unsent events pass the bound, after which the server carries on for the others."""
    slow = Peer(server.port, ca, receive_buffer=4096)
    slow.login(prefix + 'Slow', PASSWORD)
    pourers = [Peer(server.port, ca) for _ in range(4)]
    for i, peer in enumerate(pourers):
        peer.login(f'{prefix}Flood{i}', PASSWORD)

    def pour(peer):
        def work(stop):
            lines = encode('Chat', 'x' * 255) * 100
            while not stop.is_set():
                peer.send(lines)
                end = time.monotonic() + 0.1  # reading what comes meanwhile keeps it below 1,000 a second
                while time.monotonic() < end:
                    peer.sock.settimeout(max(0.001, end - time.monotonic()))
                    with contextlib.suppress(socket.timeout):
                        peer.sock.recv(1 << 20)
        return in_background(work)
    cut = lambda: any('read too slowly' in l and prefix + 'Slow' in l for l in lab.output(server).splitlines())
    with contextlib.ExitStack() as pouring:
        for peer in pourers:
            pouring.enter_context(pour(peer))
        wait_for('the slow reader cut', cut, 6 * WAIT)  # 4 MiB at about 1 MiB a second, and the kernel's buffers
    last = kinds(slow.events(WAIT))[-1:]
    late = Peer(server.port, ca)
    late.login(prefix + 'Late', PASSWORD)
    pourers[0].send(encode('Chat', 'after'))
    return ['cut'] + last + [late.expect('ChatLine', match=lambda v: v[1] == 'after')[1]]


def tls_peers(lab):
    """The rows above against a TLS server; then a reader that stops reading, over TLS and over
    plain TCP."""
    names = ['Ada', 'Peer'] + [p + n for p in ('T', 'P') for n in ('Slow', 'Late', 'Flood0', 'Flood1', 'Flood2', 'Flood3')]
    pour = ('--chat-rate', '1000', '--chat-burst', '1000', '--rate', '100000')
    store, plain_store = lab.store('sqlite'), lab.path('plain.db')
    lab.accounts(store, *names)
    lab.accounts(plain_store, *names)
    server = lab.server('solo', store, 0, '--handshake-within', '1000', *pour)
    plain = lab.server('plain', plain_store, 0, '--plain', *pour)
    ada = lab.peer(server, 'Ada')
    failures = []
    for row, expected in TLS_PEERS:
        peer = Peer(server.port, lab.ca, handshake=False)
        if row is not hello_cut_short:
            peer.handshake()
            peer.login('Peer', PASSWORD)
        got = row(peer, ada) or kinds(peer.events(WAIT))
        if got != expected:
            failures.append(f'{row.__name__}: expected {expected}, got {got}')
    if not re.search(r'TLS: [a-z]', lab.output(server)):
        failures.append("the tampered record's end has no reason in the log")
    for kind, where, ca, prefix in (('TLS', server, lab.ca, 'T'), ('plain TCP', plain, None, 'P')):
        got = stops_reading(lab, where, ca, prefix)
        if got != ['cut', 'eof', 'after']:
            failures.append(f'a reader that stops reading, {kind}: got {got}')
    assert not failures, '\n'.join(failures)


ATTACKS = {f.__name__: f for f in (silent_connections, login_flood, password_guessing, same_player_twice,
                                   farming, chatty_player, vote_flood, redis_pause, forged_log_line)}
CASES = {f.__name__: f for f in (scale_out, server_killed, redis_restart, hostile, tls_peers)}
CASES.update({'sign_up_' + kind: lambda lab, kind=kind: sign_up(lab, kind) for kind in ('sqlite', 'redis')})
CASES.update({'attack_' + name: f for name, f in ATTACKS.items()})


if __name__ == '__main__':
    run(CASES)
