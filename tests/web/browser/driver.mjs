// Drives orvelt-web in a real browser (the system's chromium, headless,
// through playwright-core) the way a person uses it, and checks what
// reaches the directory and what orvelt then answers. Started by
// run-browser-test, which sets up the directory, the configuration and the
// server, and passes everything in the environment:
//
//   WEB_URL         http://127.0.0.1:PORT of the running orvelt-web
//   LOGIN PASSWORD  the person's address and directory password
//   PERSON_DN       that person's entry
//   LDAP_URL ADMIN_DN ADMIN_PW   to read the entry back with ldapsearch
//   ORVELT ORVELT_CFG MTA_DIR    the built orvelt, its configuration, and
//                   the recording MTA's directory (ORVELT_TEST_MTA_DIR)
//   BROWSER_ZONE    the browser's time zone (default Europe/Berlin); the
//                   dates are also saved from browsers in New York and Tokyo
//   SCREENSHOT      where the picture of the page goes
//   CHROMIUM        the browser (default /usr/bin/chromium)
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { readFileSync, readdirSync } from 'node:fs';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

function env(name, fallback) {
  const value = process.env[name] ?? fallback;
  if (value === undefined || value === '') throw new Error(`${name} is not set`);
  return value;
}

const url = env('WEB_URL');
const login = env('LOGIN');
const password = env('PASSWORD');
const zone = env('BROWSER_ZONE', 'Europe/Berlin');

// What the person types. The text has several lines, a character beyond
// ASCII and a placeholder that the reply fills with the message's subject.
const text = 'Hello,\n\nI am away and will read your message "$subjecttext" when I am back.\n' +
  'Viele Grüße, Jane';
const internalText = 'Hi,\n\nI am away; Max stands in for me.';

async function step(name, action) {
  process.stdout.write(`browser test: ${name}\n`);
  try {
    return await action();
  } catch (error) {
    error.message = `${name}: ${error.message}`;
    throw error;
  }
}

// Clicks the button named NAME and waits for the answer to the POST it
// sends to PATH and for the page the browser then shows.
async function submit(page, name, path) {
  const [response] = await Promise.all([
    page.waitForResponse((r) => r.request().method() === 'POST' && new URL(r.url()).pathname === path),
    page.getByRole('button', { name, exact: true }).click(),
  ]);
  await page.waitForLoadState('load');
  return response;
}

// The person's entry as the directory holds it: attribute name to values,
// base64 values decoded.
function readEntry(attributes) {
  const ldif = execFileSync('ldapsearch', [
    '-x', '-LLL', '-o', 'ldif-wrap=no', '-o', 'nettimeout=10', '-H', env('LDAP_URL'),
    '-D', env('ADMIN_DN'), '-w', env('ADMIN_PW'), '-b', env('PERSON_DN'), '-s', 'base',
    '(objectClass=*)', ...attributes,
  ], { encoding: 'utf8' });
  const entry = {};
  for (const line of ldif.split('\n')) {
    const match = /^([A-Za-z0-9-]+)(::?) ?(.*)$/.exec(line);
    if (!match || match[1] === 'dn') continue;
    const value = match[2] === '::' ? Buffer.from(match[3], 'base64').toString('utf8') : match[3];
    (entry[match[1]] ??= []).push(value);
  }
  return entry;
}

// One message from SENDER to the person through the built orvelt, as the
// MTA would run it; returns the reply the recording MTA was given.
function deliver(sender, subject) {
  const mtaDir = env('MTA_DIR');
  const before = readdirSync(mtaDir).filter((f) => f.endsWith('.stdin')).length;
  const message = `From: <${sender}>\nTo: ${login}\nSubject: ${subject}\n` +
    `Message-ID: <${subject.replace(/\W/g, '')}@example.net>\n\nHello\n`;
  execFileSync(env('ORVELT'), ['-c', env('ORVELT_CFG'), '-s', sender, '-a', login], {
    input: message,
    env: { ...process.env, ORVELT_TEST_MTA_DIR: mtaDir },
  });
  const replies = readdirSync(mtaDir).filter((f) => f.endsWith('.stdin'));
  assert.equal(replies.length, before + 1, `orvelt handed no reply to ${sender} to the MTA`);
  return readFileSync(join(mtaDir, `${replies.length}.stdin`), 'utf8');
}

async function wrongPassword(page, context) {
  await page.goto(`${url}/`);
  await page.fill('#login', login);
  await page.fill('#password', `${password}-wrong`);
  const response = await submit(page, 'Log in', '/login');
  assert.equal(response.status(), 401);
  assert.match(await page.textContent('body'), /Wrong address or password\./);
  assert.equal(await page.locator('#password').count(), 1, 'the form is not shown again');
  const cookies = await context.cookies();
  assert.ok(!cookies.some((c) => c.name === 'orvelt_session'), 'a failed login made a session');
}

async function logIn(page, context) {
  await page.fill('#login', login);
  await page.fill('#password', password);
  const response = await submit(page, 'Log in', '/login');
  assert.equal(response.status(), 303);
  assert.equal(page.url(), `${url}/`);
  assert.match(await page.textContent('body'), /Out of office is off/);
  const session = (await context.cookies()).find((c) => c.name === 'orvelt_session');
  assert.ok(session, 'no orvelt_session cookie');
  assert.equal(session.httpOnly, true);
  assert.equal(session.sameSite, 'Strict');
  assert.equal(session.secure, false, 'web_secure_cookies no, yet the cookie is Secure');
  assert.match(session.value, /^[0-9a-f]{64}$/);
  // The one line of script has told the server the browser's zone with the
  // login: the first page already shows the dates in it.
  assert.equal(await page.inputValue('#tz'), zone);
  assert.match(await page.textContent('body'), new RegExp(`Times in ${zone}\\.`));
  return session.value;
}

// From yesterday 09:00 to next week 18:30, in the browser's zone, as the
// datetime-local fields take them, and the same instants in UTC as the
// directory keeps them.
function vacationDates(page) {
  return page.evaluate(() => {
    const pad = (n) => String(n).padStart(2, '0');
    const local = (d) => `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())}` +
      `T${pad(d.getHours())}:${pad(d.getMinutes())}`;
    const utc = (d) => d.toISOString().replace(/[-:T]/g, '').replace(/\.\d+Z$/, 'Z');
    const day = 24 * 60 * 60 * 1000;
    const start = new Date(Date.now() - day);
    start.setHours(9, 0, 0, 0);
    const end = new Date(Date.now() + 7 * day);
    end.setHours(18, 30, 0, 0);
    return { start: local(start), end: local(end), startUtc: utc(start), endUtc: utc(end) };
  });
}

async function switchOn(page, dates) {
  await page.check('#active');
  await page.fill('#start', dates.start);
  await page.fill('#end', dates.end);
  await page.fill('#text', text);
  await page.fill('#internal_text', internalText);
  await page.fill('#interval', '24');
  const response = await submit(page, 'Save', '/save');
  assert.equal(response.status(), 303, await response.text().catch(() => ''));
  const body = await page.textContent('body');
  assert.match(body, /Out of office is on/);
  assert.equal(await page.locator('.error').count(), 0, 'the page shows field errors');
  // Shown again as entered: the zone went there and back.
  assert.equal(await page.inputValue('#start'), dates.start);
  assert.equal(await page.inputValue('#end'), dates.end);
  assert.equal(await page.inputValue('#text'), text);
  assert.equal(await page.inputValue('#internal_text'), internalText);
  assert.equal(await page.inputValue('#interval'), '24');
  assert.equal(await page.isChecked('#active'), true);
}

async function preview(page) {
  const shown = await page.textContent('#preview');
  assert.ok(shown.includes('I am away and will read your message "'), shown);
  assert.ok(shown.includes('Viele Grüße, Jane'), shown);
  assert.ok(!shown.includes('$subjecttext'), `the preview leaves the placeholder: ${shown}`);
  // Framed as a reply goes out: the header file's lines and the footer's.
  assert.match(shown, /^Auto-Submitted: auto-replied$/m);
  assert.ok(shown.includes('This is an automatic reply.'), shown);
  // The colleagues' reply beside it.
  const internal = await page.textContent('#preview-internal');
  assert.ok(internal.includes('I am away; Max stands in for me.'), internal);
  assert.ok(!internal.includes('Viele Grüße'), internal);
}

// Changes the person's entry as the administrator.
function modifyEntry(ldif) {
  execFileSync('ldapmodify', [
    '-x', '-o', 'nettimeout=10', '-H', env('LDAP_URL'), '-D', env('ADMIN_DN'), '-w', env('ADMIN_PW'),
  ], { input: `dn: ${env('PERSON_DN')}\nchangetype: modify\n${ldif}`, encoding: 'utf8' });
}

// The instant of a GeneralizedTime value as the datetime-local field shows
// it in zone.
function localIn(instant, zoneName) {
  const parts = Object.fromEntries(new Intl.DateTimeFormat('en-GB', {
    timeZone: zoneName, hourCycle: 'h23', year: 'numeric', month: '2-digit', day: '2-digit',
    hour: '2-digit', minute: '2-digit',
  }).formatToParts(instant).map((p) => [p.type, p.value]));
  return `${parts.year}-${parts.month}-${parts.day}T${parts.hour}:${parts.minute}`;
}

// A new browser in zoneName, logged in.
async function browserIn(browser, zoneName) {
  const context = await browser.newContext({ timezoneId: zoneName, locale: 'en-GB' });
  const page = await context.newPage();
  await page.goto(`${url}/`);
  await page.fill('#login', login);
  await page.fill('#password', password);
  const response = await submit(page, 'Log in', '/login');
  assert.equal(response.status(), 303);
  return { context, page };
}

// Dates stored in a zone of their own, seconds and all; browsers in two
// other zones see them in theirs from the first page on, and a save that
// changes only the text leaves them exactly as stored.
async function datesStayAsStored(browser) {
  const start = '20261201000000+0100';
  const end = '20261231235959+0100';
  modifyEntry(`replace: vacationStart\nvacationStart: ${start}\n-\n` +
    `replace: vacationEnd\nvacationEnd: ${end}\n`);
  for (const zoneName of ['America/New_York', 'Asia/Tokyo']) {
    const { context, page } = await browserIn(browser, zoneName);
    try {
      assert.match(await page.textContent('body'), new RegExp(`Times in ${zoneName}\\.`));
      assert.equal(await page.inputValue('#start'),
        localIn(new Date('2026-11-30T23:00:00Z'), zoneName), zoneName);
      assert.equal(await page.inputValue('#end'),
        localIn(new Date('2026-12-31T22:59:59Z'), zoneName), zoneName);
      const newText = `Away; written in ${zoneName}`;
      await page.fill('#text', newText);
      const response = await submit(page, 'Save', '/save');
      assert.equal(response.status(), 303, await response.text().catch(() => ''));
      const entry = readEntry(['vacationStart', 'vacationEnd', 'vacationInfo']);
      assert.deepEqual(entry.vacationInfo, [newText]);
      assert.deepEqual(entry.vacationStart, [start], zoneName);
      assert.deepEqual(entry.vacationEnd, [end], zoneName);
    } finally {
      await context.close();
    }
  }
}

// A start the clocks skip (Berlin, 28 March 2027, 02:00 -> 03:00) is saved
// an hour on, and the page says so beside the field.
async function skippedTime(browser) {
  const { context, page } = await browserIn(browser, 'Europe/Berlin');
  try {
    await page.fill('#start', '2027-03-28T02:30');
    await page.fill('#end', '2027-04-02T18:00');
    const response = await submit(page, 'Save', '/save');
    assert.equal(response.status(), 303, await response.text().catch(() => ''));
    assert.equal(await page.textContent('#start-note'),
      '02:30 does not exist on 28 March; saved as 03:30');
    assert.equal(await page.inputValue('#start'), '2027-03-28T03:30');
    assert.deepEqual(readEntry(['vacationStart']).vacationStart, ['20270328013000Z']);
  } finally {
    await context.close();
  }
}

function directoryChanged(dates) {
  const entry = readEntry(['objectClass', 'vacationActive', 'vacationStart', 'vacationEnd',
    'vacationInfo', 'vacationInfoInternal', 'vacationInterval']);
  assert.ok(entry.objectClass.includes('orveltVacation'), `objectClass ${entry.objectClass}`);
  assert.deepEqual(entry.vacationActive, ['TRUE']);
  assert.deepEqual(entry.vacationStart, [dates.startUtc]);
  assert.deepEqual(entry.vacationEnd, [dates.endUtc]);
  // The browser sends a textarea's lines ended by CR LF; the directory
  // keeps the text as typed.
  assert.deepEqual(entry.vacationInfo, [text]);
  assert.deepEqual(entry.vacationInfoInternal, [internalText]);
  assert.deepEqual(entry.vacationInterval, ['24']);
}

function replies() {
  const outside = deliver('someone@example.net', 'Planning');
  assert.match(outside, /^To: someone@example\.net$/m);
  assert.ok(outside.includes('I am away and will read your message "Planning" when I am back.'),
    outside);
  assert.ok(outside.includes('Viele Grüße, Jane'), outside);
  assert.ok(!outside.includes('Max stands in'), outside);
  const colleague = deliver('colleague@example.org', 'Lunch');
  assert.ok(colleague.includes('I am away; Max stands in for me.'), colleague);
  assert.ok(!colleague.includes('Viele Grüße'), colleague);
}

async function blockedSenders(page) {
  await page.reload();
  const blocked = await page.textContent('#blocked');
  assert.ok(blocked.includes('someone@example.net'), blocked);
  assert.ok(blocked.includes('colleague@example.org'), blocked);
}

async function logOut(page, sessionId) {
  const response = await submit(page, 'Log out', '/logout');
  assert.equal(response.status(), 303);
  assert.equal(await page.locator('#password').count(), 1, 'no login form after logging out');
  assert.doesNotMatch(await page.textContent('body'), /Out of office is/);
  // The session is gone on the server, not only in this browser.
  const cookie = { cookie: `orvelt_session=${sessionId}` };
  const save = await fetch(`${url}/save`, {
    method: 'POST',
    redirect: 'manual',
    headers: { ...cookie, 'content-type': 'application/x-www-form-urlencoded' },
    body: new URLSearchParams({ active: '', text: 'changed', tz: zone }).toString(),
  });
  assert.equal(save.status, 401);
  const page2 = await (await fetch(`${url}/`, { headers: cookie })).text();
  assert.match(page2, /id=["']?password["'\s>]/);
  assert.deepEqual(readEntry(['vacationActive', 'vacationInfo']),
    { vacationActive: ['TRUE'], vacationInfo: [text] });
}

async function main() {
  const browser = await chromium.launch({
    executablePath: env('CHROMIUM', '/usr/bin/chromium'),
    headless: true,
    // Chromium's sandbox refuses to run as root.
    args: ['--lang=en-GB', ...(process.getuid() === 0 ? ['--no-sandbox'] : [])],
  });
  try {
    const context = await browser.newContext({
      timezoneId: zone,
      locale: 'en-GB',
      viewport: { width: 900, height: 1000 },
    });
    const page = await context.newPage();
    await step('a wrong password gets the message', () => wrongPassword(page, context));
    const sessionId = await step('log in', () => logIn(page, context));
    const dates = await vacationDates(page);
    await step('switch on with dates and both texts, and save', () => switchOn(page, dates));
    await step('the preview shows the reply', () => preview(page));
    await step('the directory entry changed', () => directoryChanged(dates));
    await step('orvelt answers with the new texts', () => replies());
    await step('the page lists the senders answered', () => blockedSenders(page));
    await step('screenshot', () => page.screenshot({ path: env('SCREENSHOT'), fullPage: true }));
    await step('log out', () => logOut(page, sessionId));
    await step('dates saved from New York and Tokyo stay as stored',
      () => datesStayAsStored(browser));
    await step('a skipped start is saved moved on, and the page says so',
      () => skippedTime(browser));
  } finally {
    await browser.close();
  }
  process.stdout.write('browser test: passed\n');
}

await main();
