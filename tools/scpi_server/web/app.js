// The instrument's page: polls /api/status and /api/counts twice a second
// and draws the count rate and a histogram of counts with dygraphs.
'use strict';

const keepSeconds = 600;      // of the rate plot
const histogramCounts = 5000; // the latest counts in the histogram
const rateBins = new Map();   // second (ms since the epoch / 1000) -> counts read in it
const latest = [];            // the latest counts, oldest first
let nextIndex = null;         // of /api/counts
let journalId = null;         // the server's life the indices count in
let ratePlot = null;
let histogramPlot = null;
let running = false;

const byId = (id) => document.getElementById(id);

function text(id, value) {
  byId(id).textContent = value;
}

function figures(id, pairs) {
  const list = byId(id);
  list.replaceChildren();
  for (const [name, value] of pairs) {
    const dt = document.createElement('dt');
    dt.textContent = name;
    const dd = document.createElement('dd');
    dd.textContent = value === null || value === undefined ? '—' : String(value);
    list.append(dt, dd);
  }
}

function listOf(id, items, empty) {
  const list = byId(id);
  list.replaceChildren();
  for (const item of items.length ? items : [empty]) {
    const li = document.createElement('li');
    li.textContent = item;
    list.append(li);
  }
}

// A copy button that works on plain http too (the clipboard API wants https).
function copyText(value) {
  if (navigator.clipboard && window.isSecureContext) {
    navigator.clipboard.writeText(value);
    return;
  }
  const area = document.createElement('textarea');
  area.value = value;
  document.body.append(area);
  area.select();
  document.execCommand('copy');
  area.remove();
}

function showResources(resources) {
  const list = byId('resources');
  if (list.dataset.shown === resources.join('\n')) return;
  list.dataset.shown = resources.join('\n');
  list.replaceChildren();
  for (const r of resources) {
    const li = document.createElement('li');
    // It may break after a "::", never inside a name or a number.
    const code = document.createElement('code');
    r.split('::').forEach((part, i, parts) => {
      code.append(part + (i < parts.length - 1 ? '::' : ''));
      if (i < parts.length - 1) code.append(document.createElement('wbr'));
    });
    const button = document.createElement('button');
    button.type = 'button';
    button.textContent = 'Copy';
    button.addEventListener('click', () => copyText(r));
    li.append(code, button);
    list.append(li);
  }
}

// *IDN? is "maker,model,serial,version": the model heads the page.
function showIdentity(identity) {
  const [maker, model, serial, version] = identity.split(',');
  text('identity', model || identity);
  byId('identity').title = identity;
  text('maker', [maker, serial && serial !== '0' ? `serial ${serial}` : '', version ? `version ${version}` : '']
    .filter(Boolean).join(' · '));
  document.title = `${model || identity} (${location.host})`;
}

// A plot's place says why it is empty.
function waiting(id, why) {
  const place = byId(id);
  if (place.querySelector('canvas')) return;
  place.replaceChildren();
  const p = document.createElement('p');
  p.className = 'waiting';
  p.textContent = why;
  place.append(p);
}

// "14:03:25", as this computer's clock reads the time each second was counted.
const clockTime = (d) => d.toLocaleTimeString([], { hour12: false });
// A tick of the rate plot (seconds since 1970) on a whole second, else none.
const secondLabel = (s) => (Number.isInteger(s) ? clockTime(new Date(s * 1000)) : '');

function showStatus(s) {
  showIdentity(s.identity);
  const state = byId('state');
  state.textContent = (s.running ? 'Running' : 'Stopped') + (s.locked ? ' · locked by a VXI-11 client' : '');
  state.classList.toggle('running', s.running);
  running = s.running;
  const t = s.settings;
  figures('settings', [['Run', s.running ? 'on' : 'off'], ['Threshold', t.threshold], ['Polarity', t.polarity],
                       ['Period', t.period], ['Points', s.points]]);
  byId('hold').value = s.hold_capacity ? s.held / s.hold_capacity : 0;
  figures('hold-figures', [['Held', `${s.held} of ${s.hold_capacity} words`], ['Lost', `${s.lost.words} words`],
                           ['Gaps', s.lost.gaps], ['Words read', s.counts_seen]]);
  figures('rates', [['Counts', `${s.rates.counts_per_s} counts/s`], ['Words', `${s.rates.words_per_s} words/s`],
                    ['Journal', `${s.journal.oldest} to ${s.journal.next} (life ${s.journal.id})`]]);
  showResources(s.resources);
  listOf('clients', s.clients, 'none connected');
  byId('control').hidden = !s.web_control;
  byId('read-only').hidden = s.web_control;
  text('version', `version ${s.version}`);
}

function addCounts(answer) {
  if (journalId !== null && answer.id !== journalId) { // the server started again: its indices with it
    rateBins.clear();
    latest.length = 0;
  }
  journalId = answer.id;
  for (const [at, counts] of answer.batches) {
    const second = Math.floor(at / 1000);
    let sum = rateBins.get(second) || 0;
    for (const c of counts) {
      sum += c;
      latest.push(c);
    }
    rateBins.set(second, sum);
  }
  if (latest.length > histogramCounts) latest.splice(0, latest.length - histogramCounts);
  const newest = Math.max(...rateBins.keys());
  for (const second of rateBins.keys()) if (second < newest - keepSeconds) rateBins.delete(second);
  nextIndex = answer.next;
}

function histogram() {
  if (latest.length === 0) return [];
  let low = Infinity, high = -Infinity;
  for (const c of latest) { low = Math.min(low, c); high = Math.max(high, c); }
  const bins = Math.min(40, high - low + 1);
  const width = (high - low + 1) / bins;
  const n = new Array(bins).fill(0);
  for (const c of latest) n[Math.min(bins - 1, Math.floor((c - low) / width))] += 1;
  return n.map((count, i) => [low + i * width, count]);
}

function draw() {
  // While a run is on, the newest second is still being counted: not drawn yet.
  let seconds = [...rateBins.entries()].sort((a, b) => a[0] - b[0]);
  if (running) seconds = seconds.slice(0, -1);
  const rate = seconds.map(([s, sum]) => [s, sum]);
  const bars = histogram();
  byId('rate').dataset.points = rate.length;
  byId('histogram').dataset.points = bars.length;
  text('histogram-note', `the latest ${latest.length} counts read`);
  if (typeof Dygraph === 'undefined') {
    text('rate', 'The plots need dygraphs (apt-get install libjs-dygraphs).');
    return;
  }
  if (rate.length === 0) waiting('rate', running ? 'the run is on: its first second is being counted…'
                                                 : 'no counts read yet: a run shows its rate here');
  if (bars.length === 0) waiting('histogram', 'no counts read yet');
  if (rate.length > 0) {
    if (ratePlot) ratePlot.updateOptions({ file: rate });
    else ratePlot = new Dygraph(byId('rate'), rate, {
      labels: ['time', 'counts/s'], xlabel: "time of day (this computer's clock)", ylabel: 'counts per second',
      drawPoints: true, includeZero: true, legend: 'follow',
      axes: { x: { axisLabelWidth: 70, pixelsPerLabel: 80, axisLabelFormatter: secondLabel,
                   valueFormatter: (s) => clockTime(new Date(s * 1000)) },
              y: { axisLabelWidth: 70 } } });
  }
  if (bars.length > 0) {
    if (histogramPlot) histogramPlot.updateOptions({ file: bars });
    else histogramPlot = new Dygraph(byId('histogram'), bars, { labels: ['count', 'words'], stepPlot: true,
                                                                fillGraph: true, includeZero: true, xlabel: 'count',
                                                                axes: { y: { axisLabelWidth: 50 } } });
  }
}

async function poll() {
  try {
    const status = await fetch('/api/status', { cache: 'no-store' });
    showStatus(await status.json());
    const since = nextIndex === null ? '' : `?since=${nextIndex}`;
    const counts = await fetch(`/api/counts${since}`, { cache: 'no-store' });
    addCounts(await counts.json());
    draw();
  } catch (e) {
    const state = byId('state');
    state.textContent = `no answer from the server (${e.message})`;
    state.classList.remove('running');
  }
  setTimeout(poll, 500);
}

async function post(path, body) {
  const answer = await fetch(path, { method: 'POST', headers: { 'Content-Type': 'application/json' },
                                     body: JSON.stringify(body) });
  const said = await answer.json();
  text('control-said', answer.ok ? `done: ${said.done}` : `refused: ${said.error}`);
}

byId('start').addEventListener('click', () => post('/api/run', { action: 'start' }));
byId('stop').addEventListener('click', () => post('/api/run', { action: 'stop' }));
byId('apply').addEventListener('click', () => {
  const body = {};
  for (const name of ['threshold', 'polarity', 'period']) {
    const value = byId(name).value;
    if (value !== '') body[name] = Number(value);
  }
  post('/api/settings', body);
});

poll();
