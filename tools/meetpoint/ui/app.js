// The player's page: one WebSocket to meetpoint brings a snapshot, then each change; the
// forms send sign-in, sign-up and chat. Every text from the lobby is put on the page as text
// (textContent, text nodes), never as HTML: names, chat lines and instance data come from
// strangers.
'use strict';

(() => {
  // The token of this run, from the address meetpoint printed; kept in memory only.
  const token = new URLSearchParams(location.search).get('token') || '';
  const $ = (id) => document.getElementById(id);

  const MAX_CHAT = 1000;   // lines since the page opened
  const MAX_GAME_LINES = 100;
  const MAX_INSTANCES = 50;
  const VOTES = ['undecided', 'good', 'bad', 'excellent'];
  // What to say for a refusal whose detail is empty; the lobby's details are sentences.
  const SENTENCES = {
    'registration-closed': 'This lobby does not take sign-ups; ask its operator for an account.',
    'name-rules': 'A name is 1 to 31 printable characters, not starting or ending with a space.',
    'name-taken': 'That name is taken.',
    'password-rules': 'A password is 8 to 128 bytes.',
    'register-limit': 'Too many sign-ups from this address; try again later.',
    'bad-login': 'Wrong player name or password.',
    'busy': 'The lobby is busy; try again in a moment.',
  };

  let state = null;
  let socket = null;
  let retryMs = 500;

  // An element with text children (strings become text nodes) and a class.
  function el(tag, className, ...children) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    node.append(...children.filter((c) => c !== null && c !== undefined));
    return node;
  }

  function time(ms) {
    const node = el('time', '', new Date(ms).toLocaleTimeString());
    node.dateTime = new Date(ms).toISOString();
    return node;
  }

  // A line for the player: a refusal (with its rule), a problem, or what is going on (info).
  function notice(text, kind, rule) {
    const box = $('notice');
    box.textContent = text;
    box.className = 'notice' + (kind ? ' ' + kind : '');
    box.dataset.rule = rule || '';
    box.hidden = !text;
  }

  function send(message) {
    if (socket && socket.readyState === WebSocket.OPEN) {
      socket.send(JSON.stringify(message));
      return true;
    }
    notice('meetpoint is not reachable; nothing was sent.');
    return false;
  }

  // --- drawing each part from the state ---

  function drawLink() {
    const link = state.link;
    const where = state.server || 'the lobby';
    const words = {
      connecting: 'Connecting to ' + where + '…',
      connected: 'Connected to ' + where + ', not signed in',
      online: 'Online at ' + where,
      lost: 'Link to ' + where + ' lost; meetpoint tries again',
      idle: 'Not connected to ' + where + '; signing in connects',
      stopped: 'Not relaying: ' + where,
      local: "meetpoint's own lobby (no server)",
    };
    const line = $('link');
    line.textContent = (words[link.state] || link.state) + (link.text ? ' — ' + link.text : '');
    line.className = 'link ' + link.state;
  }

  function signedIn() {
    return state.me.player !== null;
  }

  function drawMe() {
    const me = state.me;
    $('me').textContent = me.player === null ? '' : me.player + (me.rating !== undefined ? ' · ' + me.rating : '');
    const canChat = signedIn() || state.mode === 'local';
    $('signin').hidden = !(state.signIn && !signedIn());
    $('chat-text').disabled = !canChat;
    $('chat-send').disabled = !canChat;
  }

  function drawChatLine(line) {
    const list = $('chat-lines');
    const atEnd = list.scrollTop + list.clientHeight >= list.scrollHeight - 4;
    list.append(el('li', '', time(line.at), el('span', 'from', line.from + ':'), el('span', 'text', line.text)));
    while (list.children.length > MAX_CHAT) list.firstElementChild.remove();
    if (atEnd) list.scrollTop = list.scrollHeight;
  }

  function drawPlayers() {
    $('online-total').textContent = '(' + state.online.total + ')';
    $('players').replaceChildren(...state.online.players.map(([name, rating]) =>
      el('li', '', name + ' ', el('span', 'rating', String(rating)))));
  }

  function drawRatings() {
    $('ratings').replaceChildren(...state.ratings.map(([name, rating], i) =>
      el('tr', '', el('td', '', String(i + 1)), el('td', '', name), el('td', '', String(rating)))));
  }

  function drawInstance(instance) {
    const who = instance.creator === null ? 'started before this page heard of it' : 'started by ' + instance.creator;
    const item = el('li', '',
      el('h3', '', 'Game instance ' + instance.giid + ' ', el('span', 'quiet', who)),
      el('p', '', time(instance.at), 'Members: ' + (instance.members.join(', ') || 'none')));
    item.dataset.giid = instance.giid;
    if (instance.votes.length) {
      item.append(el('ul', 'votes', ...instance.votes.map((v) =>
        el('li', '', time(v.at), v.voter + ' voted ' + (VOTES[v.vote] || v.vote)))));
    }
    if (instance.results) {
      const r = instance.results;
      item.append(el('p', '', time(r.at), 'Results (vote: ' + (VOTES[r.vote] || r.vote) + ')'));
      item.append(el('table', 'results', el('tbody', '', ...r.players.map(([name, rating]) =>
        el('tr', '', el('td', '', name), el('td', '', String(rating)))))));
    }
    return item;
  }

  function drawInstances() {
    const sorted = [...state.instances].sort((a, b) => b.giid - a.giid);
    $('instances').replaceChildren(...sorted.map(drawInstance));
    $('no-instances').hidden = state.instances.length > 0;
  }

  function drawGame() {
    const game = state.game;
    $('game-state').textContent = game.connected
      ? 'Connected (game connection ' + game.connection + ')'
      : (game.connection ? 'Not connected (the last connection ended)' : 'Not connected');
  }

  function drawGameLine(entry) {
    const list = $('game-lines');
    const arrow = { in: '<- ', out: '-> ' }[entry.dir] || '== ';
    list.append(el('li', entry.dir, time(entry.at), arrow + entry.line));
    while (list.children.length > MAX_GAME_LINES) list.firstElementChild.remove();
    list.scrollTop = list.scrollHeight;
  }

  function drawAll() {
    drawLink();
    drawMe();
    $('chat-lines').replaceChildren();
    state.chat.forEach(drawChatLine);
    drawPlayers();
    drawRatings();
    drawInstances();
    drawGame();
    $('game-lines').replaceChildren();
    state.game.lines.forEach(drawGameLine);
  }

  // --- updates from meetpoint ---

  const handlers = {
    snapshot(m) { state = m; drawAll(); },
    link(m) { state.link = m.link; drawLink(); if (m.link.state === 'online') notice(''); },
    me(m) {
      state.me = m.me;
      drawMe();
      if (signedIn()) { $('signin-password').value = ''; notice(''); $('chat-text').focus(); }
    },
    refused(m) { notice(m.detail || SENTENCES[m.rule] || m.rule, '', m.rule); },
    problem(m) { notice(m.text); },
    chat(m) { state.chat.push(m.line); drawChatLine(m.line); },
    instance(m) {
      const i = state.instances.findIndex((x) => x.giid === m.instance.giid);
      if (i >= 0) state.instances[i] = m.instance; else state.instances.push(m.instance);
      while (state.instances.length > MAX_INSTANCES) state.instances.shift();
      drawInstances();
    },
    online(m) { state.online = m.online; drawPlayers(); },
    ratings(m) { state.ratings = m.ratings; drawRatings(); },
    game(m) { state.game = { ...m.game, lines: state.game.lines }; drawGame(); },
    'game-line'(m) {
      state.game.lines.push(m.line);
      if (state.game.lines.length > MAX_GAME_LINES) state.game.lines.shift();
      drawGameLine(m.line);
    },
  };

  function connect() {
    socket = new WebSocket('ws://' + location.host + '/ws?token=' + encodeURIComponent(token));
    socket.onopen = () => { retryMs = 500; };
    socket.onmessage = (event) => {
      let message;
      try { message = JSON.parse(event.data); } catch (e) { return; }
      const handle = handlers[message.kind];
      if (!handle || !(state || message.kind === 'snapshot')) return;
      handle(message);
      // Results and rating lists that name the player bring the player's new rating.
      if (message.me && message.kind !== 'me') { state.me = message.me; drawMe(); }
    };
    socket.onclose = () => {
      const line = $('link');
      line.textContent = 'meetpoint is not reachable; trying again';
      line.className = 'link gone';
      setTimeout(connect, retryMs);
      retryMs = Math.min(retryMs * 2, 8000);
    };
  }

  // --- the forms ---

  $('signin-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const create = event.submitter && event.submitter.value === 'signup';
    notice(create ? 'Creating the account…' : 'Signing in…', 'info');
    send({ do: create ? 'signup' : 'signin', player: $('signin-player').value, password: $('signin-password').value });
  });

  $('chat-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const input = $('chat-text');
    if (input.value.trim() && send({ do: 'chat', text: input.value })) input.value = '';
  });

  connect();
})();
