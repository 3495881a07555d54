// Loads two pages in headless Chromium (playwright-core): escaped.lum prints a
// query argument, a cookie and a posted form field with {{ }}, raw.lum with
// {{{ }}}. Escaped, every value must read back as the exact text sent and no
// script in it may run; raw, the markup in it must have become markup.
// usage: node browser_escape.js BASE-URL
const { chromium } = require('playwright-core');

const HOSTILE = '<script>window.pwned=1</script><b id="bold">"q"</b> & \'s\' é';
const COOKIE = '<b>c</b>&\'x\'';

async function visit(browser, base, page_name) {
  const context = await browser.newContext();
  const url = new URL(base);
  await context.addCookies([{ name: 'pref', value: COOKIE, domain: url.hostname, path: '/' }]);
  const page = await context.newPage();
  page.setDefaultTimeout(10000);
  const query = encodeURIComponent(HOSTILE);
  // The argument arrives with the first request, the form field with the
  // post that follows it.
  await page.goto(`${base}/${page_name}?${query}`);
  const first = await page.evaluate(() => ({
    pwned: window.pwned === 1,
    arg: document.getElementById('arg').textContent,
    bold: document.querySelectorAll('#arg b').length,
    cookie: document.getElementById('cookie').textContent,
    cookieBold: document.querySelectorAll('#cookie b').length,
  }));
  await page.fill('#f', HOSTILE);
  await Promise.all([page.waitForNavigation(), page.click('#send')]);
  const second = await page.evaluate(() => ({
    pwned: window.pwned === 1,
    field: document.getElementById('field').textContent,
    bold: document.querySelectorAll('#field b').length,
  }));
  await context.close();
  return { pwned: first.pwned || second.pwned, arg: first.arg, field: second.field,
           cookie: first.cookie, bold: first.bold + second.bold, cookieBold: first.cookieBold };
}

function expect(what, got, wanted) {
  if (got !== wanted) throw new Error(`${what}: got ${JSON.stringify(got)}, wanted ${JSON.stringify(wanted)}`);
}

async function main() {
  const base = process.argv[2];
  const browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true, timeout: 30000,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'] });
  try {
    const escaped = await visit(browser, base, 'escaped.lum');
    expect('escaped: script ran', escaped.pwned, false);
    expect('escaped argument', escaped.arg, HOSTILE);
    expect('escaped field', escaped.field, HOSTILE);
    expect('escaped cookie', escaped.cookie.includes('pref=' + COOKIE), true);
    expect('escaped: markup made', escaped.bold + escaped.cookieBold, 0);
    const raw = await visit(browser, base, 'raw.lum');
    expect('raw: script did not run', raw.pwned, true);
    expect('raw: markup not made', raw.bold, 2);
    expect('raw cookie markup', raw.cookieBold, 1);
    console.log('browser escape check passed:', browser.version());
  } finally {
    await browser.close();
  }
}
const guard = setTimeout(() => { console.error('TIMEOUT'); process.exit(2); }, 60000);
main().then(() => clearTimeout(guard), e => { console.error('FAIL', e.message); process.exit(1); });
