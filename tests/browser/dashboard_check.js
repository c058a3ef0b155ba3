'use strict';
// Opens the dashboard in headless Chromium (the system's, never a downloaded one), waits until
// every card shows its values and its plots hold points, saves a screenshot and prints what
// the page shows as one JSON line.
//   node dashboard_check.js URL SCREENSHOT.png STATIONS
const { chromium } = require('playwright-core');

async function main() {
  const [url, screenshot, stations] = process.argv.slice(2);
  const want = Number(stations);
  const browser = await chromium.launch({
    executablePath: process.env.PELMORA_CHROMIUM,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
    timeout: 60000,
  });
  try {
    const page = await browser.newPage({ viewport: { width: 1200, height: 900 } });
    const errors = [];
    page.on('pageerror', (e) => errors.push(String(e)));
    await page.goto(url, { timeout: 30000 });
    await page.waitForFunction((n) => {
      const cards = document.querySelectorAll('.card');
      if (cards.length !== n) return false;
      for (const c of cards) {
        if (c.querySelector('.value-temperature').textContent === '–') return false;
        for (const p of c.querySelectorAll('.plot'))
          if (Number(p.dataset.points) === 0) return false;
      }
      return true;
    }, want, { timeout: 30000 });
    const shown = await page.evaluate(() => {
      const out = {};
      for (const c of document.querySelectorAll('.card')) {
        const plots = [...c.querySelectorAll('.plot')].map((p) => Number(p.dataset.points));
        const plotData = window.pelmoraDashboard.plots[c.dataset.station];
        out[c.dataset.station] = {
          temperature: c.querySelector('.value-temperature').textContent,
          points: plots,
          uplotPoints: [plotData.hour.data[0].length, plotData.day.data[0].length],
          canvases: c.querySelectorAll('canvas').length,
        };
      }
      return out;
    });
    await page.screenshot({ path: screenshot, fullPage: true });
    // A phone's width: the page must not need sideways scrolling.
    await page.setViewportSize({ width: 390, height: 844 });
    await page.waitForFunction(() => [...document.querySelectorAll('canvas')].every(
      (c) => c.getBoundingClientRect().right <= window.innerWidth), null, { timeout: 10000 })
      .catch(() => {});  // the width below tells
    // The widest of the page and its plots (a plot box clips what sticks out).
    const phoneWidth = await page.evaluate(() => Math.max(document.documentElement.scrollWidth,
      ...[...document.querySelectorAll('canvas')].map((c) => Math.ceil(c.getBoundingClientRect().right))));
    console.log(JSON.stringify({ stations: shown, errors, phoneWidth }));
  } finally {
    await browser.close();
  }
}

main().catch((e) => {
  console.error(String(e && e.stack ? e.stack : e));
  process.exit(1);
});
