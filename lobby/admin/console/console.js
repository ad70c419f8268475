// The operator's console: the lobby's figures and lists from the admin API, with kick and ban.
// The token is asked for once and kept in this closure only (not in storage), so it lives as
// long as the tab. Every text from the lobby goes into the page as text (textContent), never
// as markup.
'use strict';

(() => {
  let token = null;
  const history = [];  // events a second, the last minute
  let last = null;     // the previous summary, for the rate
  const $ = (id) => document.getElementById(id);

  async function api(path, body) {
    const options = { headers: { Authorization: 'Bearer ' + token } };
    if (body !== undefined) {
      options.method = 'POST';
      options.headers['Content-Type'] = 'application/json';
      options.body = JSON.stringify(body);
    }
    const response = await fetch(path, options);
    const answer = await response.json();
    if (response.status === 401) {
      signOut('The token was refused.');
      throw new Error('token refused');
    }
    if (!response.ok) throw new Error(answer.detail || answer.error || response.statusText);
    return answer;
  }

  function signOut(why) {
    token = null;
    $('console').hidden = true;
    $('login').hidden = false;
    $('login-error').textContent = why;
  }

  function time(ms) {
    return ms ? new Date(ms).toISOString().replace('T', ' ').replace(/\.\d+Z$/, 'Z') : '';
  }

  function cell(row, text) {
    const td = document.createElement('td');
    td.textContent = String(text);
    row.appendChild(td);
    return td;
  }

  function button(td, label, action) {
    const b = document.createElement('button');
    b.type = 'button';
    b.textContent = label;
    b.addEventListener('click', action);
    td.appendChild(b);
  }

  // Replaces a table's rows: one per item, its cells from columns(item).
  function fill(id, items, columns, actions) {
    const body = $(id).querySelector('tbody');
    const rows = items.map((item) => {
      const row = document.createElement('tr');
      for (const text of columns(item)) cell(row, text);
      if (actions) actions(cell(row, ''), item);
      return row;
    });
    body.replaceChildren(...rows);
  }

  function status(text) {
    $('status').textContent = text;
  }

  async function act(what, path, body) {
    try {
      await api(path, body);
      status(what);
      await lists();
    } catch (e) {
      status(what + ' failed: ' + e.message);
    }
  }

  function askBan(name) {
    $('ban-name').textContent = name;
    $('ban-reason').value = '';
    $('ban-form').hidden = false;
    $('ban-reason').focus();
  }

  function drawChart() {
    const canvas = $('chart');
    const g = canvas.getContext('2d');
    g.clearRect(0, 0, canvas.width, canvas.height);
    const top = Math.max(10, ...history);
    g.strokeStyle = '#2f6fde';
    g.lineWidth = 2;
    g.beginPath();
    history.forEach((value, i) => {
      const x = (i / 59) * canvas.width;
      const y = canvas.height - 4 - (value / top) * (canvas.height - 8);
      if (i === 0) g.moveTo(x, y);
      else g.lineTo(x, y);
    });
    g.stroke();
    g.fillStyle = '#5b6475';
    g.fillText(String(top) + ' a second', 4, 12);
  }

  async function summary() {
    const s = await api('/api/summary');
    $('server-name').textContent = s.server.name;
    $('players-online').textContent = s.playersOnline;
    $('players-here').textContent = s.playersHere;
    $('instances-open').textContent = s.instancesOpen;
    $('server-count').textContent = s.servers;
    if (last) {
      const seconds = Math.max(0.001, (s.time - last.time) / 1000);
      const rate = Math.round((s.messagesIn + s.messagesOut - last.messagesIn - last.messagesOut) / seconds);
      $('events-rate').textContent = rate;
      history.push(rate);
      if (history.length > 60) history.shift();
      drawChart();
    }
    last = s;
  }

  async function lists() {
    const [players, bans, instances, chat, ratings, servers, audit] = await Promise.all([
      api('/api/players'), api('/api/bans'), api('/api/instances?count=50'), api('/api/chat?count=50'),
      api('/api/ratings?count=50'), api('/api/servers'), api('/api/audit?count=50')]);
    fill('players', players.players, (p) => [p.name, p.serverName, p.address, time(p.since)], (td, p) => {
      button(td, 'Kick', () => act('Kicked ' + p.name, '/api/kick', { name: p.name }));
      button(td, 'Ban', () => askBan(p.name));
    });
    fill('bans', bans.bans, (b) => [b.name, b.reason, b.expires ? time(b.expires) : 'for good'], (td, b) => {
      button(td, 'Unban', () => act('Unbanned ' + b.name, '/api/unban', { name: b.name }));
    });
    fill('instances', instances.instances,
         (i) => [i.giid, i.members.join(', '), i.invitedOnly ? 'invited players' : 'anyone']);
    $('chat').replaceChildren(...chat.lines.map((line) => {
      const item = document.createElement('li');
      const from = document.createElement('span');
      from.className = 'sender';
      from.textContent = line.from;
      item.append(from, document.createTextNode(line.text));
      item.title = time(line.at);
      return item;
    }));
    fill('ratings', ratings.ratings, (r) => [r.name, r.rating]);
    fill('servers', servers.servers, (s) => [s.name, s.listen, s.players, time(s.heartbeat)]);
    fill('audit', audit.entries.slice().reverse(), (a) => [time(a.at), a.action, a.target, a.address, a.detail]);
  }

  function every(ms, work) {
    const run = async () => {
      if (token === null) return;
      try {
        await work();
      } catch (e) {
        status('The server did not answer: ' + e.message);
      }
      setTimeout(run, ms);
    };
    run();
  }

  document.addEventListener('DOMContentLoaded', () => {
    $('login').addEventListener('submit', async (event) => {
      event.preventDefault();
      token = $('token').value;
      $('token').value = '';
      try {
        await api('/api/summary');
      } catch (e) {
        if (token !== null) signOut('The server did not answer: ' + e.message);
        return;
      }
      $('login').hidden = true;
      $('console').hidden = false;
      every(1000, summary);
      every(3000, lists);
    });
    $('ban-form').addEventListener('submit', (event) => {
      event.preventDefault();
      const name = $('ban-name').textContent;
      $('ban-form').hidden = true;
      act('Banned ' + name, '/api/ban',
          { name, reason: $('ban-reason').value, seconds: Number($('ban-for').value) });
    });
    $('ban-cancel').addEventListener('click', () => { $('ban-form').hidden = true; });
  });
})();
