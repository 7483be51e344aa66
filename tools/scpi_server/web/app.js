// The instrument's page: polls /api/status and /api/counts twice a second
// and draws the count rate and a histogram of counts with dygraphs.
'use strict';

const keepSeconds = 600;      // of the rate plot
const histogramCounts = 5000; // the latest counts in the histogram
const rateBins = new Map();   // second (ms since the epoch / 1000) -> counts read in it
const latest = [];            // the latest counts, oldest first
let nextIndex = null;         // of /api/counts
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
    const code = document.createElement('code');
    code.textContent = r;
    const button = document.createElement('button');
    button.type = 'button';
    button.textContent = 'Copy';
    button.addEventListener('click', () => copyText(r));
    li.append(code, button);
    list.append(li);
  }
}

function showStatus(s) {
  text('identity', s.identity);
  document.title = s.identity;
  const state = byId('state');
  state.textContent = (s.running ? 'Running' : 'Stopped') + (s.locked ? ' · locked by a VXI-11 client' : '');
  state.classList.toggle('running', s.running);
  running = s.running;
  const t = s.settings;
  figures('settings', [['Run', s.running ? 'on' : 'off'], ['Threshold', t.threshold], ['Polarity', t.polarity],
                       ['Period', t.period], ['Points', s.points]]);
  byId('hold').value = s.hold_capacity ? s.held / s.hold_capacity : 0;
  figures('hold-figures', [['Held', `${s.held} of ${s.hold_capacity} words`], ['Lost', `${s.lost.words} words`],
                           ['Gaps', s.lost.gaps], ['Counts read', s.counts_seen]]);
  showResources(s.resources);
  listOf('clients', s.clients, 'none connected');
  byId('control').hidden = !s.web_control;
  byId('read-only').hidden = s.web_control;
  text('version', `version ${s.version}`);
}

function addCounts(answer) {
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
  const rate = seconds.map(([s, sum]) => [new Date(s * 1000), sum]);
  const bars = histogram();
  byId('rate').dataset.points = rate.length;
  byId('histogram').dataset.points = bars.length;
  text('histogram-note', `the latest ${latest.length} counts read`);
  if (typeof Dygraph === 'undefined') {
    text('rate', 'The plots need dygraphs (apt-get install libjs-dygraphs).');
    return;
  }
  if (rate.length > 0) {
    if (ratePlot) ratePlot.updateOptions({ file: rate });
    else ratePlot = new Dygraph(byId('rate'), rate, { labels: ['time', 'counts/s'], ylabel: 'counts per second',
                                                      drawPoints: true, includeZero: true, legend: 'follow',
                                                      axes: { x: { axisLabelWidth: 70 }, y: { axisLabelWidth: 70 } } });
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
