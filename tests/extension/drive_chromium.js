// Drives Debian's Chromium with playwright-core for test_chromium.py: node drive_chromium.js PLAN.json
// PLAN: {playwright, executable, profile, extension, args: [...], out, launches: [{env, steps: [
//          {name, url, expr, timeout} | {remove: path} ]}]}
// Every step's value (or its failure as {failed: text}) is written to PLAN.out as JSON by name.
"use strict";

const fs = require("fs");

async function main() {
  const plan = JSON.parse(fs.readFileSync(process.argv[2], "utf8"));
  const { chromium } = require(plan.playwright);
  const results = { timings: {} };
  const save = () => fs.writeFileSync(plan.out, JSON.stringify(results));
  for (const launch of plan.launches) {
    const launched = Date.now();
    const context = await chromium.launchPersistentContext(plan.profile, {
      executablePath: plan.executable,
      // The new headless mode is asked for explicitly: Playwright's own headless switch could
      // mean the old one, which loads no extensions.
      headless: false,
      args: ["--headless=new", "--load-extension=" + plan.extension,
             "--disable-extensions-except=" + plan.extension, ...plan.args],
      env: launch.env,
      timeout: 90000,
    });
    try {
      // The extension's service worker, so that the first request does not race its start.
      if (context.serviceWorkers().length === 0)
        await context.waitForEvent("serviceworker", { timeout: 30000 }).catch(() => {});
      const page = context.pages()[0] || await context.newPage();
      results.timings["launch" + plan.launches.indexOf(launch)] = Date.now() - launched;
      let loaded = null;
      for (const step of launch.steps) {
        if (step.remove) {
          fs.rmSync(step.remove, { force: true });
          continue;
        }
        const started = Date.now();
        try {
          if (step.url !== loaded) {
            await page.goto(step.url, { timeout: 30000 });
            loaded = step.url;
          }
          let timer;
          const value = await Promise.race([
            page.evaluate((expr) => (0, eval)(expr), step.expr),
            new Promise((_, reject) => {
              timer = setTimeout(() => reject(new Error("no answer within " + (step.timeout || 60000) + " ms")),
                                 step.timeout || 60000);
            }),
          ]).finally(() => clearTimeout(timer));
          results[step.name] = value === undefined ? null : value;
          results.timings[step.name] = Date.now() - started;
        } catch (error) {
          results[step.name] = { failed: String(error && error.message || error) };
        }
        save();
      }
    } finally {
      const closing = Date.now();
      await context.close();
      results.timings["close" + plan.launches.indexOf(launch)] = Date.now() - closing;
    }
  }
  save();
}

main().then(() => process.exit(0), (error) => {
  console.error(error && error.stack || String(error));
  process.exit(1);
});
