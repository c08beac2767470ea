// The README's picture of mv620 view: four channels live with the simulated instrument's sine
// pattern, taken in Debian's chromium.
//   MV620_SIM_LIBRARY=.../libMV620ACQm-sim.so node screenshot.mjs [../../docs/view.png]
import { spawn } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
import os from "node:os";
import path from "node:path";
import readline from "node:readline";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";

const here = path.dirname(fileURLToPath(import.meta.url));
const target = path.resolve(process.argv[2] || path.join(here, "..", "..", "docs", "view.png"));
const folder = mkdtempSync(path.join(os.tmpdir(), "mv620-view-"));
const server = spawn(process.env.MV620_PYTHON || "/usr/bin/python3",
  [path.join(here, "serve_sim.py"), folder, "0=10", "1=10", "2=10", "3=10"], {
    env: { ...process.env, PYTHONPATH: path.resolve(here, "..", ".."), MV620SIM_PATTERN: "sine",
      PYTHONDONTWRITEBYTECODE: "1" },
    stdio: ["pipe", "pipe", "inherit"],
  });
const lines = readline.createInterface({ input: server.stdout })[Symbol.asyncIterator]();
const { url } = JSON.parse((await lines.next()).value);
const browser = await chromium.launch({
  executablePath: process.env.MV620_CHROMIUM || "/usr/bin/chromium",
  args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync"],
});
try {
  const page = await browser.newPage({ viewport: { width: 1400, height: 820 } });
  await page.goto(url);
  await page.waitForFunction(() => window.mv620view?.role === "control");
  await page.selectOption("#window", "0.05");
  await page.selectOption("#trigger-channel", "3");
  await page.fill("#trigger-level", "40000");
  await page.click("#trigger-apply");
  await page.check("#line-0");
  await page.click("#start");
  await page.waitForFunction(() => window.mv620view.state.running);
  await page.waitForTimeout(3000);
  await page.click("#pause");
  await page.screenshot({ path: target });
  console.log(`written ${target}`);
} finally {
  await browser.close();
  server.stdin.end();
  rmSync(folder, { recursive: true, force: true });
}
