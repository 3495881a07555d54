// Browses the demo site in headless Chromium (playwright-core): the index,
// then every page it links to, each with its style sheet and script, and
// counts the connections the browser opened to the server: one or two, as
// persistent connections let it. Each page is left once nothing more is
// loading, as a reader would, so that no fetch overlaps the next page's.
// usage: node browser_connections.js BASE-URL
const { chromium } = require('playwright-core');

async function main() {
  const base = process.argv[2];
  const browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true, timeout: 30000,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'] });
  try {
    const context = await browser.newContext();
    const page = await context.newPage();
    page.setDefaultTimeout(10000);
    const cdp = await context.newCDPSession(page);
    await cdp.send('Network.enable');
    // Caching would answer later pages without the network at all.
    await cdp.send('Network.setCacheDisabled', { cacheDisabled: true });
    const connections = new Set();
    const failures = [];
    let responses = 0;
    cdp.on('Network.responseReceived', (event) => {
      responses += 1;
      connections.add(event.response.connectionId);
      const status = event.response.status;
      if (status >= 400 && !event.response.url.endsWith('/favicon.ico')) {
        failures.push(`${status} ${event.response.url}`);
      }
    });
    cdp.on('Network.loadingFailed', (event) => failures.push(`failed: ${event.errorText}`));
    await page.goto(`${base}/`, { waitUntil: 'networkidle' });
    const links = await page.$$eval('a[href]', (all) => all.map((a) => a.href));
    const pages = links.filter((href) => href.startsWith(base) && !href.endsWith('/'));
    if (pages.length < 4) throw new Error(`the index links to ${pages.length} pages`);
    for (const href of pages) await page.goto(href, { waitUntil: 'networkidle' });
    await page.goto(`${base}/`, { waitUntil: 'networkidle' });
    if (failures.length > 0) throw new Error(`requests failed: ${failures.join(', ')}`);
    const count = connections.size;
    console.log(`${responses} responses over ${count} connection(s): ${[...connections].join(' ')}`);
    if (responses < pages.length + 3) throw new Error(`only ${responses} responses`);
    if (count < 1 || count > 2) throw new Error(`${count} connections, wanted one or two`);
    console.log('browser connection check passed:', browser.version());
  } finally {
    await browser.close();
  }
}
const guard = setTimeout(() => { console.error('TIMEOUT'); process.exit(2); }, 80000);
main().then(() => clearTimeout(guard), (e) => { console.error('FAIL', e.message); process.exit(1); });
