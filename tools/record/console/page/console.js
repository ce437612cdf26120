// The console page: one WebSocket (/api/events?thumbnails=1) brings the status every second,
// the cut (all of it as the page comes, then what changes in it), every event at once and the newest thumbnail of each tile (the program's at its full rate
// while the page is shown); the controls are POSTs carrying the token from the page's
// address; the sound is an <audio> element on /api/sound.mp3. Nothing is loaded from
// anywhere else, and every text from the recorder goes in as text.
'use strict';

(function () {
  const CAMERAS = 16;
  const PROGRAM_SLOT = CAMERAS;
  const token = new URLSearchParams(location.search).get('token') || '';
  const MODE_KEY = 'sorvo-console-bus';

  // What the page knows; window.sorvoConsole lets a test (or a curious operator) look.
  const state = {
    status: null,
    program: { camera: -1, pending: false, time: 0 },
    preview: -1,
    lastProgramEvent: null,
    busMode: localStorage.getItem(MODE_KEY) === 'preview' ? 'preview' : 'cut',
    ended: false,
    results: null,
    connected: false,
    pictures: new Array(CAMERAS + 1).fill(0),  // thumbnails shown per tile
    received: new Array(CAMERAS + 1).fill(0),  // thumbnails that arrived per tile
    marks: [],
    cut: { switches: [], marks: [] },  // the session's cut, as the cut events bring it
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

  // A camera as a person reads it: its own name with its number, or "camera N".
  function cameraName(camera) {
    const sink = state.status && state.status.sinks.find((s) => s.camera === camera);
    return sink && sink.title ? sink.title + ' (camera ' + camera + ')' : 'camera ' + camera;
  }

  function fileName(path) {
    const out = state.status ? state.status.outDir : '';
    return out && path.startsWith(out + '/') ? path.slice(out.length + 1) : path;
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
    layout();
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

  // A camera chosen by click or key: on program at once, or on preview for the next Take.
  function chooseCamera(camera) {
    if (state.ended || !tiles.has(camera)) return;
    post(state.busMode === 'preview' ? '/api/preview' : '/api/program', { camera: camera });
  }

  function take() {
    if (state.ended || state.busMode !== 'preview') return;
    post('/api/take');
  }

  function showBusMode() {
    const preview = state.busMode === 'preview';
    $('busMode').textContent = preview ? 'Click previews' : 'Click cuts';
    $('busMode').classList.toggle('previewing', preview);
    $('take').hidden = !preview;
    layout();
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

  // The program's sound: an endless MP3 stream, fetched only while the operator listens.
  function listen() {
    const audio = $('sound');
    if (audio.paused || !audio.src) {
      audio.src = '/api/sound.mp3' + (token ? '?token=' + encodeURIComponent(token) : '');
      audio.play().catch((failure) => log('error', 'sound: ' + failure.message));
      $('listen').textContent = 'Mute';
      $('listen').classList.add('listening');
    } else {
      audio.pause();
      audio.removeAttribute('src');
      audio.load();
      $('listen').textContent = 'Listen';
      $('listen').classList.remove('listening');
    }
  }

  $('busMode').addEventListener('click', () => {
    state.busMode = state.busMode === 'preview' ? 'cut' : 'preview';
    localStorage.setItem(MODE_KEY, state.busMode);
    showBusMode();
  });
  $('take').addEventListener('click', take);
  $('mark').addEventListener('click', mark);
  $('listen').addEventListener('click', listen);
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
    const target = event.target;
    if (target instanceof HTMLInputElement) return;
    // A focused button or tile takes space and Enter itself.
    const own = target instanceof HTMLButtonElement || (target.classList && target.classList.contains('camera'));
    if (event.key >= '0' && event.key <= '9') {
      chooseCamera(Number(event.key));
    } else if (event.key === 'm' || event.key === 'M') {
      mark();
    } else if ((event.key === ' ' || event.key === 'Enter') && !own && state.busMode === 'preview') {
      take();
    } else {
      return;
    }
    event.preventDefault();
  });

  // ---- the wall: the program large, every camera around it ----

  const GAP = 6;
  const CAPTION = 22;        // a camera's name line
  const ROOMY_CAPTION = 74;  // with its figures, where there is room
  const ROOMY = 250;         // the narrowest tile that shows its figures
  const PROGRAM_CAPTION = 26;

  // The widest 16:9 tiles (with `caption` below each) that `n` of fit in `w` x `h`.
  function grid(w, h, n, caption) {
    let best = { t: 0, cols: 1 };
    for (let cols = 1; cols <= Math.max(1, n); ++cols) {
      const rows = Math.ceil(n / cols);
      const t = Math.min((w - GAP * (cols - 1)) / cols, ((h - GAP * (rows - 1)) / rows - caption) * 16 / 9);
      if (t > best.t) best = { t: Math.floor(t), cols: cols };
    }
    return best;
  }

  // The program above or beside the cameras, whichever shows both larger, with every
  // camera's name whole (tiles at least `need` wide) where any plan allows it.
  function plan(w, h, n, need) {
    let best = null;
    for (const side of ['top', 'left']) {
      for (let f = 0.35; f <= 0.81; f += 0.05) {
        const box = side === 'top' ? [w, h * f] : [w * f, h];
        const pw = Math.floor(Math.min(box[0], (box[1] - PROGRAM_CAPTION) * 16 / 9));
        if (pw <= 0) continue;
        const ph = Math.ceil(pw * 9 / 16) + PROGRAM_CAPTION;
        const rest = side === 'top'
          ? { x: 0, y: ph + GAP, w: w, h: h - ph - GAP }
          : { x: pw + GAP, y: 0, w: w - pw - GAP, h: h };
        let cams = grid(rest.w, rest.h, n, ROOMY_CAPTION);
        cams.caption = ROOMY_CAPTION;
        if (cams.t < ROOMY) { cams = grid(rest.w, rest.h, n, CAPTION); cams.caption = CAPTION; }
        if (n > 0 && cams.t <= 0) continue;
        const named = n === 0 || cams.t >= need;
        const score = n * cams.t * cams.t + 1.5 * pw * pw;
        const better = !best || (named && !best.named) ||
          (named === best.named && (named ? score > best.score : cams.t > best.cams.t));
        if (better) best = { score, named, pw, ph, rest, cams };
      }
    }
    return best;
  }

  function place(e, x, y, w, h) {
    e.style.left = x + 'px';
    e.style.top = y + 'px';
    e.style.width = w + 'px';
    e.style.height = h + 'px';
  }

  function layout() {
    const wall = $('wall');
    const above = $('bar').offsetHeight + ($('banner').hidden ? 0 : $('banner').offsetHeight);
    const w = wall.clientWidth - 2 * GAP;
    const h = Math.max(200, window.innerHeight - above - 2 * GAP);
    wall.style.height = (h + 2 * GAP) + 'px';
    const cameras = [...tiles.keys()].sort((a, b) => a - b);
    // The narrowest tile that shows its number and whole name: the text's own width, the
    // number's, and the caption's borders, padding and gap.
    let need = 0;
    for (const camera of cameras) {
      const { name, number } = tiles.get(camera);
      need = Math.max(need, name.scrollWidth + number.offsetWidth + 22);
    }
    const best = plan(w, h, cameras.length, need);
    if (!best) return;
    place($('program'), GAP, GAP, best.pw, best.ph);
    const t = best.cams.t;
    const th = Math.ceil(t * 9 / 16) + best.cams.caption;
    cameras.forEach((camera, i) => {
      const col = i % best.cams.cols;
      const row = Math.floor(i / best.cams.cols);
      const tile = tiles.get(camera).root;
      place(tile, GAP + best.rest.x + col * (t + GAP), GAP + best.rest.y + row * (th + GAP), t, th);
      tile.classList.toggle('roomy', best.cams.caption === ROOMY_CAPTION);
    });
  }
  window.addEventListener('resize', layout);

  // ---- tiles ----

  function cameraTile(sink) {
    let tile = tiles.get(sink.camera);
    if (tile) return tile;
    const root = element('div', 'tile camera');
    root.id = 'camera' + sink.camera;
    root.tabIndex = 0;
    root.setAttribute('role', 'button');
    const picture = element('div', 'picture');
    const img = element('img');
    img.alt = sink.title || sink.name;
    picture.append(img, element('span', 'nopicture', 'no picture'));
    const caption = element('div', 'caption');
    const number = element('span', 'number', String(sink.camera));
    const name = element('span', 'name', sink.title || 'camera ' + sink.camera);
    const signal = element('span', 'signal waiting');
    signal.title = 'waiting';
    caption.append(number, name, signal);
    // The figures, shown where the tile has room: three on one line, the picture size with
    // the bit rate, and the source.
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
    root.append(picture, element('span', 'tally'), caption, rows);
    root.addEventListener('click', () => chooseCamera(sink.camera));
    root.addEventListener('keydown', (event) => {
      if (event.key === 'Enter' || event.key === ' ') {
        event.preventDefault();
        event.stopPropagation();
        chooseCamera(sink.camera);
      }
    });
    tile = { root, img, name, number, signal, fields };
    tiles.set(sink.camera, tile);
    $('wall').append(root);
    layout();
    return tile;
  }

  function showTally() {
    const director = state.status ? state.status.directorCameras : 0;
    for (const [camera, tile] of tiles) {
      const onAir = camera === state.program.camera;
      const preview = camera === state.preview && !onAir;
      const eligible = camera < director;
      tile.root.classList.toggle('onair', onAir && !state.program.pending);
      tile.root.classList.toggle('pending', onAir && state.program.pending);
      tile.root.classList.toggle('preview', preview);
      tile.root.classList.toggle('eligible', eligible);
      tile.root.querySelector('.tally').textContent =
          onAir ? (state.program.pending ? 'NEXT' : 'PROGRAM') : preview ? 'PREVIEW' : eligible ? '' : 'REC ONLY';
      tile.root.setAttribute('aria-label', cameraName(camera) +
          (eligible ? ': put it on ' + (state.busMode === 'preview' ? 'preview' : 'program')
                    : ': recorded, not shown in the director\'s cut'));
    }
    $('programCamera').textContent = state.program.camera >= 0
        ? cameraName(state.program.camera) + (state.program.pending ? ' (switching)' : '') : '';
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
      tile.name.textContent = sink.title || 'camera ' + sink.camera;
      f.source.textContent = sink.source;
      f.source.title = sink.source;
      f.picture.textContent = (sink.width ? sink.width + ' x ' + sink.height : '-') + ', ' +
                              bits(sink.bitsPerSecond);
      f.rate.textContent = sink.framesPerSecond.toFixed(1);
      f.dropped.textContent = String(sink.dropped);
      f.dropped.classList.toggle('bad', sink.dropped > 0);
      f.clients.textContent = String(sink.clients);
      showSignal(tile, sink.signal);
    }
  }

  function showSignal(tile, signal) {
    tile.signal.title = signal;
    tile.signal.className = 'signal ' + signal.replace(' ', '');
    tile.root.classList.toggle('lost', signal === 'no signal');
  }

  function showProgram(status) {
    const director = status.sinks.find((s) => s.name === 'director');
    $('programFacts').textContent = director
        ? director.width + ' x ' + director.height + ', ' + director.framesPerSecond.toFixed(1) +
          ' frames/s, ' + bits(director.bitsPerSecond) + ', ' + director.clients + ' clients'
        : '';
  }

  function showTime(status) {
    $('elapsed').textContent = clock(status.seconds);
    const planned = status.plannedSeconds || 0;
    const countdown = $('countdown');
    countdown.hidden = !(planned > 0) || status.state === 'ended';
    if (!countdown.hidden) {
      const left = Math.max(0, planned - status.seconds);
      countdown.textContent = 'ends in ' + clock(Math.ceil(left));
      countdown.classList.toggle('soon', left <= 60);
    }
  }

  function showFiles(status) {
    const list = $('files');
    list.replaceChildren();
    for (const file of status.files) {
      const item = element('li');
      const path = element('span', 'path', fileName(file.path));
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

  // Each destination's state and what it loses, and a warning above everything while
  // pictures are skipped or dropped: per second, from one status to the next.
  let lastPublish = null;
  function showPublishing(status) {
    const publish = status.publish;
    $('publishPanel').hidden = !publish;
    if (!publish) return;
    const list = $('publish');
    list.replaceChildren();
    const warnings = [];
    const previous = lastPublish;
    const span = previous ? status.seconds - previous.seconds : 0;
    const rate = (now, then) => (span > 0 ? (now - then) / span : 0);
    if (previous && span > 0) {
      const skipped = rate(publish.picturesSkipped, previous.publish.picturesSkipped);
      const arrived = rate(publish.picturesIn, previous.publish.picturesIn);
      if (skipped > 0)
        warnings.push('publishing skips ' + skipped.toFixed(0) + ' of ' + arrived.toFixed(0) +
                      ' pictures a second (the machine is short of time)');
    }
    publish.outputs.forEach((output, i) => {
      const item = element('li', output.state === 'live' ? '' : 'bad');
      item.append(element('span', 'path', output.destination),
                  element('span', 'size', output.state + ', ' + bytes(output.bytesSent) +
                          (output.picturesDropped > 0 ? ', ' + output.picturesDropped + ' pictures dropped' : '')));
      list.append(item);
      const before = previous && previous.publish.outputs[i];
      if (before && output.picturesDropped > before.picturesDropped)
        warnings.push(output.destination + ' dropped ' +
                      (output.picturesDropped - before.picturesDropped) + ' pictures');
      else if (output.state !== 'live' && output.state !== 'ended')
        warnings.push(output.destination + ' is ' + output.state);
    });
    const warning = $('publishWarning');
    warning.hidden = warnings.length === 0;
    warning.textContent = warnings.join('; ');
    lastPublish = status;
  }

  function showSound(status) {
    const meters = $('meters');
    if (!status.sound) {
      meters.replaceChildren(element('p', 'muted', 'no sound'));
      $('listen').disabled = true;
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
    showTime(status);
    showState(status.state);
    state.program = { camera: status.program.camera, pending: status.program.pending,
                      time: status.program.since };
    if (status.preview) state.preview = status.preview.camera;
    showCameras(status);
    showTally();
    showProgram(status);
    showFiles(status);
    showPublishing(status);
    showSound(status);
    for (const note of status.notes)
      if (!state.errors.includes(note)) { state.errors.push(note); log('error', note); }
  }

  function endSession(event) {
    state.ended = true;
    if (event.status) showStatus(event.status);
    showState('ended');
    if (!state.results)
      banner('ended', 'The session has ended after ' + clock(event.time) +
             '. Every file is being read back; the result follows here.');
    for (const id of ['mark', 'stop', 'markLabel', 'take', 'busMode']) $(id).disabled = true;
    for (const tile of tiles.values()) tile.root.removeAttribute('tabindex');
  }

  // Each file as read back: good or what is wrong, its length and size.
  function showResults(summary) {
    state.results = summary;
    $('resultsPanel').hidden = false;
    const list = $('results');
    list.replaceChildren();
    let bad = 0;
    for (const file of summary.files || []) {
      const good = file.good === true;
      const checked = file.checked !== false;
      if (checked && !good) ++bad;
      const item = element('li', good ? 'good' : checked ? 'bad' : '');
      // Edit lists and bare streams have no length of their own: none is shown for them.
      const seconds = Math.max(file.pictureSeconds ?? -1, file.soundSeconds ?? -1);
      const length = seconds >= 0 ? seconds.toFixed(2) + ' s, ' : '';
      const verdict = good ? 'good' : checked ? 'BAD: ' + file.problem : file.problem;
      const path = element('span', 'path', fileName(file.path));
      path.title = file.path;
      item.append(path, element('span', 'size', length + bytes(file.bytes) + ', ' + verdict));
      list.append(item);
    }
    const verdict = bad > 0 ? bad + ' of ' + summary.files.length + ' files are NOT good.'
                            : 'Every file read back is good.';
    $('verdict').textContent = verdict;
    $('verdict').className = 'verdict' + (bad > 0 ? ' bad' : ' good');
    banner(bad > 0 ? 'error' : 'ended', 'The session has ended after ' + clock(summary.seconds) +
           '. ' + verdict + ' The files are in ' + summary.outDir + '.');
  }

  // The cut keeps its entries before each index the event gives and takes the new ones after
  // them; the panel shows the latest shots, newest first.
  const CUT_SHOWN = 12;
  function followCut(event) {
    const cut = state.cut;
    cut.switches.length = Math.min(cut.switches.length, event.switchesFrom);
    for (const shot of event.switches) cut.switches.push(shot);
    cut.marks.length = Math.min(cut.marks.length, event.marksFrom);
    for (const mark of event.marks) cut.marks.push(mark);
    const count = cut.switches.length;
    $('cutCount').textContent = count === 0 ? 'no shots yet'
      : count + (count === 1 ? ' shot' : ' shots') + ', ' + cut.marks.length +
        (cut.marks.length === 1 ? ' mark' : ' marks');
    const list = $('cut');
    list.replaceChildren();
    for (let i = count - 1; i >= Math.max(0, count - CUT_SHOWN); --i) {
      const shot = cut.switches[i];
      list.append(element('li', '', '#' + (i + 1) + ' ' + clock(shot.time) + ' ' +
                          cameraName(shot.camera)));
    }
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
      case 'preview':
        state.preview = event.camera;
        showTally();
        break;
      case 'mark':
        state.marks.push(event);
        log('mark', clock(event.time) + ' mark' + (event.label ? ': ' + event.label : ''));
        break;
      case 'sourceLost':
      case 'sourceBack': {
        const lost = event.event === 'sourceLost';
        const tile = tiles.get(event.camera);
        if (tile) showSignal(tile, lost ? 'no signal' : 'live');
        log(lost ? 'error' : '', clock(event.time) + ' ' + cameraName(event.camera) +
            (lost ? ': no signal' : ': signal back'));
        break;
      }
      case 'error':
        if (!state.errors.includes(event.message)) { state.errors.push(event.message); log('error', event.message); }
        break;
      case 'cut':
        followCut(event);
        break;
      case 'ended':
        endSession(event);
        break;
      case 'results':
        showResults(event.summary);
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
    const slot = new Uint8Array(buffer, 0, 1)[0];
    if (slot <= PROGRAM_SLOT) state.received[slot] += 1;
    const view = pictureView(slot);
    if (!view) return;
    const url = URL.createObjectURL(new Blob([new Uint8Array(buffer, 1)], { type: 'image/jpeg' }));
    if (!view.loading) return load(view, url);
    if (view.next) URL.revokeObjectURL(view.next);
    view.next = url;
  }

  // ---- the connection ----

  let socket = null;
  // The program at its full rate while the page is seen; thumbnails only while it is hidden.
  function tellWatching() {
    if (socket && socket.readyState === WebSocket.OPEN)
      socket.send(JSON.stringify({ programLive: document.visibilityState === 'visible' }));
  }
  document.addEventListener('visibilitychange', tellWatching);

  let retries = 0;
  function connect() {
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    let url = scheme + '//' + location.host + '/api/events?thumbnails=1';
    if (token) url += '&token=' + encodeURIComponent(token);
    socket = new WebSocket(url);
    socket.binaryType = 'arraybuffer';
    socket.onopen = () => {
      retries = 0;
      state.connected = true;
      banner('', '');
      tellWatching();
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

  showBusMode();
  if (!token) banner('error', 'This address has no token: the controls will be refused. Open the address the recorder printed.');
  connect();
})();
