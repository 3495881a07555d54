// Browses the demo site in headless Chromium (playwright-core): the index,
// then every page it links to, each with its style sheet and script, and
// counts the connections the browser opened to the server. The first page
// may take as many as it fetches at once (the page, then its style sheet,
// script and icon side by side: three at most); every later page must ride
// on those, as persistent connections let it.
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
    const first = new Set();
    let firstDone = false;
    const failures = [];
    let responses = 0;
    cdp.on('Network.responseReceived', (event) => {
      responses += 1;
      connections.add(event.response.connectionId);
      if (!firstDone) first.add(event.response.connectionId);
      const status = event.response.status;
      if (status >= 400 && !event.response.url.endsWith('/favicon.ico')) {
        failures.push(`${status} ${event.response.url}`);
      }
    });
    cdp.on('Network.loadingFailed', (event) => failures.push(`failed: ${event.errorText}`));
    await page.goto(`${base}/`, { waitUntil: 'networkidle' });
    firstDone = true;
    const links = await page.$$eval('a[href]', (all) => all.map((a) => a.href));
    const pages = links.filter((href) => href.startsWith(base) && !href.endsWith('/'));
    if (pages.length < 4) throw new Error(`the index links to ${pages.length} pages`);
    for (const href of pages) await page.goto(href, { waitUntil: 'networkidle' });
    await page.goto(`${base}/`, { waitUntil: 'networkidle' });
    if (failures.length > 0) throw new Error(`requests failed: ${failures.join(', ')}`);
    const count = connections.size;
    console.log(`${responses} responses over ${count} connection(s): ${[...connections].join(' ')}`);
    if (responses < pages.length + 3) throw new Error(`only ${responses} responses`);
    if (count > first.size) throw new Error(`${count - first.size} new connection(s) after the first page`);
    if (count < 1 || count > 3) throw new Error(`${count} connections, wanted one to three`);
    console.log('browser connection check passed:', browser.version());
  } finally {
    await browser.close();
  }
}
const guard = setTimeout(() => { console.error('TIMEOUT'); process.exit(2); }, 80000);
main().then(() => clearTimeout(guard), (e) => { console.error('FAIL', e.message); process.exit(1); });
