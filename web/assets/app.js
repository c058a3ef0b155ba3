'use strict';
// The dashboard: one card per station, refreshed from the JSON API every few seconds.
(function () {
  const REFRESH_MS = 4000;
  const DAY_REFRESH_MS = 30000;
  const QUANTITIES = {
    wind_speed: { label: 'Wind', unit: 'km/h' },
    temperature: { label: 'Temperature', unit: '°C' },
    humidity: { label: 'Humidity', unit: '%' },
    pressure: { label: 'Pressure', unit: 'hPa' },
  };
  const FIELDS = [
    ['wind_speed', 'Wind', 'km/h'], ['wind_dir', 'Direction', '°'],
    ['temperature', 'Temperature', '°C'], ['humidity', 'Humidity', '%'],
    ['rain', 'Rain', 'mm'], ['pressure', 'Pressure', 'hPa'], ['solar', 'Solar', 'W/m²'],
  ];
  let quantity = 'wind_speed';
  const cards = new Map();
  const state = { plots: {}, refreshes: 0 };
  window.pelmoraDashboard = state;

  // As the measurement files write them: one decimal.
  const fmt = (v) => (v === null || v === undefined ? '–' : Number(v).toFixed(1));
  const el = (tag, cls, text) => {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  };
  const utcDay = () => new Date().toISOString().slice(0, 10).replace(/-/g, '');

  async function getJson(url) {
    const r = await fetch(url, { cache: 'no-store' });
    if (r.status === 404) return null;
    if (!r.ok) throw new Error(url + ': ' + r.status);
    return r.json();
  }

  function compassSvg() {
    const ns = 'http://www.w3.org/2000/svg';
    const svg = document.createElementNS(ns, 'svg');
    svg.setAttribute('viewBox', '-55 -55 110 110');
    svg.setAttribute('class', 'compass');
    svg.innerHTML =
      '<circle r="44" fill="#f7fafc" stroke="#9ab"/>' +
      '<path class="spread" fill="rgba(40,120,200,.25)" d=""/>' +
      '<line class="needle" x1="0" y1="0" x2="0" y2="-40" stroke="#c33" stroke-width="3" stroke-linecap="round"/>' +
      '<circle r="3" fill="#333"/>' +
      ['N', 'E', 'S', 'W'].map((t, i) => {
        const a = (i * 90 * Math.PI) / 180;
        return '<text x="' + 51 * Math.sin(a) + '" y="' + (-51 * Math.cos(a) + 4) +
          '" font-size="10" text-anchor="middle" fill="#456">' + t + '</text>';
      }).join('');
    return svg;
  }

  function setCompass(svg, dir, mean, spread) {
    const needle = svg.querySelector('.needle');
    if (dir === null || dir === undefined) {
      needle.setAttribute('visibility', 'hidden');
    } else {
      needle.setAttribute('visibility', 'visible');
      needle.setAttribute('transform', 'rotate(' + dir + ')');
    }
    const path = svg.querySelector('.spread');
    if (mean === null || mean === undefined || spread === null || spread === undefined) {
      path.setAttribute('d', '');
      return;
    }
    const r = 44;
    const a0 = ((mean - spread) * Math.PI) / 180;
    const a1 = ((mean + spread) * Math.PI) / 180;
    const large = 2 * spread > 180 ? 1 : 0;
    path.setAttribute('d', 'M0 0 L' + r * Math.sin(a0) + ' ' + -r * Math.cos(a0) +
      ' A' + r + ' ' + r + ' 0 ' + large + ' 1 ' + r * Math.sin(a1) + ' ' + -r * Math.cos(a1) + ' Z');
  }

  // The hour plot spans the last 60 minutes, the day plot the UTC day, however few the points.
  function hourRange() {
    const now = Date.now() / 1000;
    return [now - 3600, now];
  }
  function dayRange() {
    const start = Date.parse(new Date().toISOString().slice(0, 10) + 'T00:00:00Z') / 1000;
    return [start, start + 86400];
  }
  const series = (q) => ({
    label: QUANTITIES[q].label + ' (' + QUANTITIES[q].unit + ')',
    stroke: '#2878c8', width: 1.5, points: { size: 4 },
  });

  function makePlot(container, title, range) {
    const box = el('div', 'plot');
    box.appendChild(el('h3', '', title));
    container.appendChild(box);
    const width = Math.max(200, box.clientWidth);
    const plot = new uPlot({
      width, height: 160,
      series: [{}, series(quantity)],
      axes: [{}, { size: 50 }],
      scales: { x: { time: true, range: () => range() } },
      legend: { show: false },
    }, [[], []], box);
    box.dataset.points = '0';
    return { plot, box, title, rows: [] };
  }

  function fillPlot(p) {
    const xs = [];
    const ys = [];
    for (const row of p.rows) {
      const v = row[quantity];
      if (v === null || v === undefined) continue;
      xs.push(Date.parse(row.time) / 1000);
      ys.push(v);
    }
    p.plot.setData([xs, ys]);
    p.box.querySelector('h3').textContent =
      p.title + ' · ' + QUANTITIES[quantity].label + ' (' + QUANTITIES[quantity].unit + ')';
    p.box.dataset.points = String(xs.length);
  }

  function makeCard(station) {
    const card = el('section', 'card');
    card.dataset.station = station.number;
    const h = el('h2', '', 'Station ' + station.id + ' ');
    h.appendChild(el('small', '', station.driver));
    card.appendChild(h);
    const now = el('div', 'now');
    const compass = compassSvg();
    now.appendChild(compass);
    const values = el('div', 'values');
    const cells = {};
    for (const [key, label, unit] of FIELDS) {
      const d = el('div');
      d.appendChild(el('span', '', label + ' (' + unit + ')'));
      const b = el('b', 'value-' + key, '–');
      d.appendChild(b);
      values.appendChild(d);
      cells[key] = b;
    }
    now.appendChild(values);
    card.appendChild(now);
    const age = el('div', 'age', '');
    card.appendChild(age);
    document.getElementById('stations').appendChild(card);
    const c = { card, compass, cells, age, dayLoaded: 0 };
    c.hour = makePlot(card, 'Last hour', hourRange);
    c.day = makePlot(card, 'Today (UTC)', dayRange);
    state.plots[station.number] = { hour: c.hour.plot, day: c.day.plot };
    cards.set(station.number, c);
    return c;
  }

  async function refreshStation(station) {
    const c = cards.get(station.number) || makeCard(station);
    const latest = station.latest || {};
    for (const [key] of FIELDS) c.cells[key].textContent = fmt(latest[key]);
    const w = station.average_10min || {};
    setCompass(c.compass, latest.wind_dir, w.wind_dir_mean, w.wind_dir_spread);
    if (station.age_seconds === null) {
      c.age.textContent = 'no readings yet';
    } else {
      c.age.textContent = 'newest reading ' + latest.time.replace('T', ' ').replace('Z', ' UTC') +
        ' (' + station.age_seconds + ' s ago); 10-min average ' + fmt(w.wind_speed) + ' km/h, ' +
        fmt(w.temperature) + ' °C';
    }
    c.age.classList.toggle('stale', station.age_seconds !== null && station.age_seconds > 120);

    const hour = await getJson('/api/stations/' + station.number + '/samples');
    c.hour.rows = hour ? hour.samples : [];
    fillPlot(c.hour);
    if (Date.now() - c.dayLoaded > DAY_REFRESH_MS) {
      const day = await getJson('/api/stations/' + station.number + '/days/' + utcDay());
      c.day.rows = day ? day.rows : [];
      c.dayLoaded = Date.now();
      fillPlot(c.day);
    }
  }

  async function refresh() {
    const status = document.getElementById('status');
    try {
      const stations = await getJson('/api/stations');
      for (const s of stations) await refreshStation(s);
      state.refreshes++;
      status.textContent = 'updated ' + new Date().toLocaleTimeString();
    } catch (e) {
      status.textContent = 'no answer from the service (' + e.message + ')';
    }
    setTimeout(refresh, REFRESH_MS);
  }

  document.getElementById('quantities').addEventListener('click', (ev) => {
    const q = ev.target.dataset && ev.target.dataset.q;
    if (!q) return;
    quantity = q;
    for (const b of document.querySelectorAll('#quantities button')) b.classList.toggle('on', b === ev.target);
    for (const c of cards.values()) {
      for (const p of [c.hour, c.day]) {
        p.plot.delSeries(1);
        p.plot.addSeries(series(q), 1);
        fillPlot(p);
      }
    }
  });

  window.addEventListener('resize', () => {
    for (const c of cards.values())
      for (const p of [c.hour, c.day]) p.plot.setSize({ width: Math.max(200, p.box.clientWidth), height: 160 });
  });

  refresh();
})();
