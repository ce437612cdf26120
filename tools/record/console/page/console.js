// The console page: one WebSocket (/api/events?thumbnails=1) brings the status every second,
// every event at once and the newest thumbnail of each tile; the controls are POSTs carrying
// the token from the page's address. Nothing is loaded from anywhere else.
'use strict';

(function () {
  const PROGRAM_SLOT = 5;
  const token = new URLSearchParams(location.search).get('token') || '';

  // What the page knows; window.sorvoConsole lets a test (or a curious operator) look.
  const state = {
    status: null,
    program: { camera: -1, pending: false, time: 0 },
    lastProgramEvent: null,
    ended: false,
    connected: false,
    pictures: [0, 0, 0, 0, 0, 0],  // thumbnails shown per tile
    marks: [],
    errors: [],
  };
  window.sorvoConsole = state;

  const $ = (id) => document.getElementById(id);
  const tiles = new Map();  // camera number -> its elements

  // ---- formatting ----

  function clock(seconds) {
    const s = Math.max(0, Math.floor(seconds));
    const h = Math.floor(s / 3600);
    const m = Math.floor((s % 3600) / 60);
    return h + ':' + String(m).padStart(2, '0') + ':' + String(s % 60).padStart(2, '0');
  }

  function bytes(n) {
    if (n < 0) return '?';
    const units = ['B', 'kB', 'MB', 'GB', 'TB'];
    let i = 0;
    while (n >= 1000 && i < units.length - 1) { n /= 1000; ++i; }
    return (i === 0 ? n : n.toFixed(n < 10 ? 2 : n < 100 ? 1 : 0)) + ' ' + units[i];
  }

  function bits(n) {
    if (n >= 1e6) return (n / 1e6).toFixed(2) + ' Mbit/s';
    if (n >= 1e3) return (n / 1e3).toFixed(0) + ' kbit/s';
    return n.toFixed(0) + ' bit/s';
  }

  function duration(seconds) {
    if (seconds < 0) return 'no end in sight';
    const m = Math.floor(seconds / 60);
    if (m >= 120) return Math.floor(m / 60) + ' h';
    if (m >= 60) return '1 h ' + (m - 60) + ' min';
    return m + ' min';
  }

  function element(tag, className, text) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  // ---- messages ----

  function log(kind, text) {
    const item = element('li', kind, text);
    const list = $('log');
    list.insertBefore(item, list.firstChild);
    while (list.children.length > 50) list.removeChild(list.lastChild);
  }

  function banner(kind, text) {
    const b = $('banner');
    b.className = 'banner ' + kind;
    b.textContent = text;
    b.hidden = !text;
  }

  // ---- the controls ----

  async function post(path, body) {
    try {
      const response = await fetch(path, {
        method: 'POST',
        headers: { 'Content-Type': 'application/json', 'Authorization': 'Bearer ' + token },
        body: JSON.stringify(body || {}),
      });
      const answer = await response.json().catch(() => ({}));
      if (!response.ok) {
        const why = answer.error || response.statusText;
        log('error', path + ': ' + why);
        if (response.status === 401 || response.status === 403)
          banner('error', 'The controls need the token: open the address the recorder printed.');
        return null;
      }
      return answer;
    } catch (failure) {
      log('error', path + ': ' + failure.message);
      return null;
    }
  }

  function selectCamera(camera) {
    if (state.ended || !tiles.has(camera)) return;
    post('/api/program', { camera: camera });
  }

  function mark() {
    if (state.ended) return;
    const input = $('markLabel');
    const label = input.value.trim();
    input.value = '';
    post('/api/mark', { label: label });
  }

  function askToStop() {
    if (state.ended) return;
    $('confirm').hidden = false;
    $('cancelStop').focus();
  }

  function closeConfirm() { $('confirm').hidden = true; }

  $('mark').addEventListener('click', mark);
  $('stop').addEventListener('click', askToStop);
  $('cancelStop').addEventListener('click', closeConfirm);
  $('confirmStop').addEventListener('click', () => {
    closeConfirm();
    // The answer may come after the session's end was announced, which it must not undo.
    post('/api/stop').then((answer) => { if (answer && !state.ended) showState('stopping'); });
  });
  $('markLabel').addEventListener('keydown', (event) => {
    if (event.key === 'Enter') { event.preventDefault(); mark(); }
    if (event.key === 'Escape') event.target.blur();
  });
  document.addEventListener('keydown', (event) => {
    if (event.ctrlKey || event.altKey || event.metaKey) return;
    if (!$('confirm').hidden) {
      if (event.key === 'Escape') closeConfirm();
      return;
    }
    if (event.target instanceof HTMLInputElement) return;
    if (event.key >= '0' && event.key <= '4') {
      selectCamera(Number(event.key));
    } else if (event.key === 'm' || event.key === 'M') {
      mark();
    } else {
      return;
    }
    event.preventDefault();
  });

  // ---- tiles ----

  function cameraTile(sink) {
    let tile = tiles.get(sink.camera);
    if (tile) return tile;
    const root = element('div', 'tile camera');
    root.id = 'camera' + sink.camera;
    root.tabIndex = 0;
    root.setAttribute('role', 'button');
    root.setAttribute('aria-label', 'Put camera ' + sink.camera + ' on program');
    const picture = element('div', 'picture');
    const img = element('img');
    img.alt = sink.name;
    picture.append(img, element('span', 'nopicture', 'no picture yet'));
    const caption = element('div', 'caption');
    const name = element('span', 'name', sink.name);
    const signal = element('span', 'signal waiting', 'waiting');
    caption.append(name, signal);
    // Three figures on one line; the picture size with the bit rate, and the source, each
    // on a line of its own.
    const rows = element('div', 'rows');
    const fields = {};
    const figure = (parent, key, label) => {
      const item = element('span', 'figure');
      item.append(element('em', '', label + ' '));
      fields[key] = element('span');
      item.append(fields[key]);
      parent.append(item);
    };
    const figures = element('div', 'figures');
    figure(figures, 'rate', 'fps');
    figure(figures, 'dropped', 'dropped');
    figure(figures, 'clients', 'clients');
    const video = element('div', 'line');
    figure(video, 'picture', 'video');
    const source = element('div', 'line');
    figure(source, 'source', 'source');
    rows.append(figures, video, source);
    root.append(picture, element('span', 'number', String(sink.camera)),
                element('span', 'tally', 'PROGRAM'), caption, rows);
    root.addEventListener('click', () => selectCamera(sink.camera));
    root.addEventListener('keydown', (event) => {
      if (event.key === 'Enter' || event.key === ' ') { event.preventDefault(); selectCamera(sink.camera); }
    });
    tile = { root, img, signal, fields };
    tiles.set(sink.camera, tile);
    // Cameras in their numbers' order.
    const list = $('cameras');
    const after = [...list.children].find((e) => Number(e.id.slice(6)) > sink.camera);
    list.insertBefore(root, after || null);
    return tile;
  }

  function showTally() {
    for (const [camera, tile] of tiles) {
      const onAir = camera === state.program.camera;
      tile.root.classList.toggle('onair', onAir && !state.program.pending);
      tile.root.classList.toggle('pending', onAir && state.program.pending);
      tile.root.querySelector('.tally').textContent = onAir && state.program.pending ? 'NEXT' : 'PROGRAM';
    }
    $('programCamera').textContent =
        state.program.camera >= 0 ? 'camera ' + state.program.camera + (state.program.pending ? ' (switching)' : '') : '';
  }

  function showState(name) {
    const s = $('state');
    s.className = 'state ' + name;
    s.textContent = name === 'recording' ? 'REC' : name;
  }

  function showCameras(status) {
    for (const sink of status.sinks) {
      if (sink.camera === undefined) continue;
      const tile = cameraTile(sink);
      const f = tile.fields;
      f.source.textContent = sink.source;
      f.source.title = sink.source;
      f.picture.textContent = (sink.width ? sink.width + ' x ' + sink.height : '-') + ', ' +
                              bits(sink.bitsPerSecond);
      f.rate.textContent = sink.framesPerSecond.toFixed(1);
      f.dropped.textContent = String(sink.dropped);
      f.dropped.classList.toggle('bad', sink.dropped > 0);
      f.clients.textContent = String(sink.clients);
      tile.signal.textContent = sink.signal;
      tile.signal.className = 'signal ' + sink.signal.replace(' ', '');
    }
  }

  function showProgram(status) {
    const director = status.sinks.find((s) => s.name === 'director');
    $('programFacts').textContent = director
        ? director.width + ' x ' + director.height + ', ' + director.framesPerSecond.toFixed(1) +
          ' frames/s, ' + bits(director.bitsPerSecond) + ', ' + director.clients + ' clients' +
          (status.publishing ? '; ' + status.publishing : '')
        : '';
  }

  function showFiles(status) {
    const list = $('files');
    list.replaceChildren();
    for (const file of status.files) {
      const item = element('li');
      const name = file.path.startsWith(status.outDir + '/') ? file.path.slice(status.outDir.length + 1) : file.path;
      const path = element('span', 'path', name);
      path.title = file.path;
      item.append(path, element('span', 'size', bytes(file.bytes)));
      list.append(item);
    }
    const disks = $('disks');
    const texts = [];
    let low = false;
    for (const disk of status.disks) {
      low = low || disk.low;
      texts.push(bytes(disk.freeBytes) + ' free in ' + disk.folder +
                 (disk.bytesPerSecond > 0 ? ', ' + duration(disk.secondsLeft) + ' at ' + bytes(disk.bytesPerSecond) + '/s' : ''));
    }
    disks.textContent = (low ? 'Low on space: ' : '') + texts.join('; ');
    disks.className = 'disks' + (low ? ' low' : '');
  }

  function showSound(status) {
    const meters = $('meters');
    if (!status.sound) {
      meters.replaceChildren(element('p', 'muted', 'no sound'));
      return;
    }
    const channels = status.sound.channels;
    if (meters.querySelectorAll('.meter').length !== channels.length) {
      meters.replaceChildren();
      channels.forEach((_, i) => {
        const row = element('div', 'meter');
        const bar = element('div', 'bar');
        bar.append(element('div', 'rms'), element('div', 'peak'));
        row.append(element('span', '', i === 0 ? 'L' : i === 1 ? 'R' : String(i + 1)), bar,
                   element('span', 'numbers'));
        meters.append(row);
      });
      meters.append(element('p', 'scale', 'peak / RMS in dB below full scale'));
    }
    // -60 dB to 0 dB across the bar.
    const place = (db) => Math.max(0, Math.min(100, (db + 60) / 60 * 100));
    channels.forEach((level, i) => {
      const row = meters.children[i];
      row.querySelector('.rms').style.width = place(level.rmsDb) + '%';
      row.querySelector('.peak').style.left = 'calc(' + place(level.peakDb) + '% - 2px)';
      row.querySelector('.numbers').textContent =
          level.peakDb.toFixed(0) + ' / ' + level.rmsDb.toFixed(0);
    });
  }

  function showStatus(status) {
    state.status = status;
    $('elapsed').textContent = clock(status.seconds);
    showState(status.state);
    state.program = { camera: status.program.camera, pending: status.program.pending,
                      time: status.program.since };
    showCameras(status);
    showTally();
    showProgram(status);
    showFiles(status);
    showSound(status);
    for (const note of status.notes)
      if (!state.errors.includes(note)) { state.errors.push(note); log('error', note); }
  }

  function endSession(event) {
    state.ended = true;
    if (event.status) showStatus(event.status);
    showState('ended');
    banner('ended', 'The session has ended after ' + clock(event.time) +
           '. Every file is being read back; the recorder prints the summary.');
    for (const id of ['mark', 'stop', 'markLabel']) $(id).disabled = true;
    for (const tile of tiles.values()) tile.root.removeAttribute('tabindex');
  }

  function onEvent(event) {
    switch (event.event) {
      case 'status':
        showStatus(event);
        break;
      case 'program':
        state.program = { camera: event.camera, pending: event.pending, time: event.time };
        state.lastProgramEvent = event;
        showTally();
        break;
      case 'mark':
        state.marks.push(event);
        log('mark', clock(event.time) + ' mark' + (event.label ? ': ' + event.label : ''));
        break;
      case 'sourceLost':
      case 'sourceBack': {
        const tile = tiles.get(event.camera);
        if (tile) {
          const lost = event.event === 'sourceLost';
          tile.signal.textContent = lost ? 'no signal' : 'live';
          tile.signal.className = 'signal ' + (lost ? 'nosignal' : 'live');
        }
        log(event.event === 'sourceLost' ? 'error' : '',
            clock(event.time) + ' camera ' + event.camera + (event.event === 'sourceLost' ? ': no signal' : ': signal back'));
        break;
      }
      case 'error':
        if (!state.errors.includes(event.message)) { state.errors.push(event.message); log('error', event.message); }
        break;
      case 'ended':
        endSession(event);
        break;
    }
  }

  // Each tile shows one picture at a time: one that comes while the last is still loading
  // waits, and a newer one replaces it (the newest wins).
  const views = new Map();
  function pictureView(slot) {
    let view = views.get(slot);
    if (view) return view;
    let img = null;
    let root = null;
    if (slot === PROGRAM_SLOT) {
      img = $('programPicture');
      root = $('program');
    } else if (tiles.has(slot)) {
      img = tiles.get(slot).img;
      root = tiles.get(slot).root;
    } else {
      return null;
    }
    view = { img, root, shown: null, loading: null, next: null };
    const settle = (shown) => {
      if (shown) {
        if (view.shown) URL.revokeObjectURL(view.shown);
        view.shown = view.loading;
        root.classList.add('haspicture');
        state.pictures[slot] += 1;
      } else {
        URL.revokeObjectURL(view.loading);
      }
      view.loading = null;
      if (view.next) {
        const next = view.next;
        view.next = null;
        load(view, next);
      }
    };
    img.addEventListener('load', () => settle(true));
    img.addEventListener('error', () => settle(false));
    views.set(slot, view);
    return view;
  }

  function load(view, url) {
    view.loading = url;
    view.img.src = url;
  }

  function onPicture(buffer) {
    const view = pictureView(new Uint8Array(buffer, 0, 1)[0]);
    if (!view) return;
    const url = URL.createObjectURL(new Blob([new Uint8Array(buffer, 1)], { type: 'image/jpeg' }));
    if (!view.loading) return load(view, url);
    if (view.next) URL.revokeObjectURL(view.next);
    view.next = url;
  }

  // ---- the connection ----

  let retries = 0;
  function connect() {
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    let url = scheme + '//' + location.host + '/api/events?thumbnails=1';
    if (token) url += '&token=' + encodeURIComponent(token);
    const socket = new WebSocket(url);
    socket.binaryType = 'arraybuffer';
    socket.onopen = () => {
      retries = 0;
      state.connected = true;
      banner('', '');
    };
    socket.onmessage = (message) => {
      if (typeof message.data === 'string') onEvent(JSON.parse(message.data));
      else onPicture(message.data);
    };
    socket.onclose = () => {
      state.connected = false;
      if (state.ended) return;  // the recorder has finished: nothing to come back to
      showState('disconnected');
      banner('error', 'Lost the connection to the recorder; trying again.');
      retries += 1;
      setTimeout(connect, Math.min(5000, 500 * retries));
    };
  }

  if (!token) banner('error', 'This address has no token: the controls will be refused. Open the address the recorder printed.');
  connect();
})();
