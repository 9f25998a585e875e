// The simulator's console in headless Chromium against the built simulator
// and command-line client: an exchange shows in the log within a second, a
// fault armed from the page fails the client's next call and is marked in
// the log, a wafer-edge reply is drawn.
//   node console_test.js KESTREL_SIM KESTREL
"use strict";
const { spawn, execFile } = require("child_process");
const readline = require("readline");
const { chromium } = require("playwright-core");

const [sim, cli] = process.argv.slice(2);
let passed = 0, failed = 0;

async function check(name, fn) {
  const start = Date.now();
  try {
    await fn();
    passed++;
    console.log(`ok   ${name} (${Date.now() - start} ms)`);
  } catch (e) {
    failed++;
    console.log(`FAIL ${name}: ${e.message}`);
  }
}

function expect(cond, what) {
  if (!cond) throw new Error(what);
}

// Starts the simulator; resolves to its process and both ports once it has
// printed them.
function startSim() {
  const child = spawn(sim, ["--port", "0", "--http", "0"], { stdio: ["ignore", "pipe", "inherit"] });
  const ports = {};
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error("the simulator printed no ports in 5 s")), 5000);
    child.on("exit", (code) => reject(new Error(`the simulator exited with ${code}`)));
    readline.createInterface({ input: child.stdout }).on("line", (line) => {
      const wire = /listening on [\d.]+:(\d+)/.exec(line);
      const http = /console on (http:\/\/\S+)/.exec(line);
      if (wire) ports.wire = wire[1];
      if (http) ports.url = http[1];
      if (ports.wire && ports.url) {
        clearTimeout(timer);
        resolve({ child, ...ports });
      }
    });
  });
}

// Runs the client; resolves to its exit code and output.
function kestrel(port, ...words) {
  return new Promise((resolve) => {
    execFile(cli, ["--port", port, ...words], { timeout: 10000 }, (err, stdout, stderr) =>
      resolve({ code: err ? err.code : 0, output: stdout + stderr }));
  });
}

(async () => {
  const s = await startSim();
  const browser = await chromium.launch({ executablePath: "/usr/bin/chromium", args: ["--no-sandbox"] });
  try {
    const page = await browser.newPage({ viewport: { width: 1366, height: 768 } });
    const pageErrors = [];
    page.on("pageerror", (e) => pageErrors.push(e.message));
    await page.goto(s.url);
    await page.waitForSelector('#stream[data-state="open"]', { timeout: 5000 });
    const row = (word, nth) => page.locator(`#log tbody tr[data-word="${word}"]`).nth(nth);

    await check("an exchange shows in the log within one second", async () => {
      const ran = await kestrel(s.wire, "get-gain", "Cam1");
      expect(ran.code === 0, `get-gain exited ${ran.code}: ${ran.output}`);
      const start = Date.now();
      await row("GetGain", 0).waitFor({ timeout: 1000 });
      const text = await row("GetGain", 0).innerText();
      expect(/<GetGain,Cam1>/.test(text) && /✓ OK/.test(text), `row reads: ${text}`);
      console.log(`     shown ${Date.now() - start} ms after the client exited`);
    });

    await check("a rule the server refuses is shown with its reason", async () => {
      await page.fill("#fault-rule", "GetGain:frob");
      await page.click('#fault-form button[type="submit"]');
      await page.locator("#fault-error", { hasText: "unknown fault kind 'frob'" }).waitFor({ timeout: 2000 });
    });

    await check("a fault armed from the page fails the next call, marked in the log, until removed", async () => {
      await page.fill("#fault-rule", "GetGain:ng:camera busy");
      await page.click('#fault-form button[type="submit"]');
      await page.locator("#faults tbody tr", { hasText: "GetGain:ng:camera busy" }).waitFor({ timeout: 2000 });
      expect(await page.isHidden("#fault-error"), "the earlier error is still shown");
      const ran = await kestrel(s.wire, "get-gain", "Cam1");
      expect(ran.code === 1, `get-gain exited ${ran.code}`);
      expect(ran.output.includes("camera busy"), `get-gain printed: ${ran.output}`);
      const newest = row("GetGain", 0);
      await page.waitForFunction(() => document.querySelectorAll('#log tr[data-word="GetGain"]').length === 2,
                                 null, { timeout: 1000 });
      expect(await newest.getAttribute("class").then((c) => /\bfailed\b/.test(c)), "row not marked failed");
      const text = await newest.innerText();
      expect(/✗ NG/.test(text) && /camera busy/.test(text), `row reads: ${text}`);
      await page.locator("#faults tbody tr", { hasText: "camera busy" }).locator("button").click();
      await page.locator("#faults tbody tr.empty").waitFor({ timeout: 2000 });
      const again = await kestrel(s.wire, "get-gain", "Cam1");
      expect(again.code === 0, `get-gain after the rule's removal exited ${again.code}: ${again.output}`);
    });

    await check("a wafer-edge reply is drawn on the wafer", async () => {
      const points = (await (await fetch(new URL("api/state", s.url))).json()).wafer.points;
      const ran = await kestrel(s.wire, "wafer-edge", "Cam1", "Edge1", "100", "200.5", "true");
      expect(ran.code === 0, `wafer-edge exited ${ran.code}: ${ran.output}`);
      await page.waitForFunction((n) => document.querySelectorAll("#wafer circle.edge-point").length === n,
                                 points, { timeout: 2000 });
      const far = await page.$$eval("#wafer circle.edge-point", (cs) =>
        Math.max(...cs.map((c) => Math.hypot(+c.getAttribute("cx"), +c.getAttribute("cy")))));
      expect(Math.abs(far - 100) < 0.01, `edge points reach ${far} mm, the wafer's radius is 100`);
    });

    await check("no script error on the page", async () => {
      expect(pageErrors.length === 0, pageErrors.join("; "));
    });
  } finally {
    await browser.close();
    process.kill(s.child.pid, "SIGTERM");
  }
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed ? 1 : 0);
})().catch((e) => {
  console.error(e);
  process.exit(1);
});
