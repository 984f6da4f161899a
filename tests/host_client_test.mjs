// The Node.js host client against the real helper and a model written by our tool.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";

import { HelperProcess } from "../tools/host_client/debrindle_host.mjs";

const helperPath = process.env.DEBRINDLE_HELPER;
let directory;
let model;

before(() => {
  directory = mkdtempSync(join(tmpdir(), "host-client-"));
  model = join(directory, "hello.gguf");
  execFileSync(process.env.DEBRINDLE_MAKE_MODEL,
               ["--out", model, "--words", "▁Hello ▁host !", "--chain", "▁Hello ▁host !"]);
});
after(() => rmSync(directory, { recursive: true, force: true }));

// A helper that a failed test leaves running would keep the runner waiting.
function startHelper(t) {
  const helper = new HelperProcess(helperPath);
  t.after(() => helper.close());
  return helper;
}

test("a warm-up, then overlapping generations settle in the order they were made", async (t) => {
  const helper = startHelper(t);
  await helper.warmup(model);
  const replies = await Promise.all([
    helper.generate(model, "You are terse.", "Say hello.", { temperature: 0.7, maxTokens: 3 }),
    helper.generate(model, "", "hi", { maxTokens: 1 }),
  ]);
  assert.deepEqual(replies, [" Hello host!", " Hello"]);
  assert.equal(await helper.close(), 0);
});

test("an ok:false answer rejects its own request with the helper's text", async (t) => {
  const helper = startHelper(t);
  await assert.rejects(helper.warmup(join(directory, "missing.gguf")),
                       { name: "HelperError", message: "null result from llama cpp" });
  assert.equal(await helper.generate(model, "", "hi"), " Hello host!");
  assert.equal(await helper.close(), 0);
});

test("a helper that dies rejects every pending request and every later one", async (t) => {
  const helper = startHelper(t);
  await helper.warmup(model);
  // Stopped first, so that it cannot answer a request between its writing and the kill.
  process.kill(helper.pid, "SIGSTOP");
  const pending = [helper.generate(model, "", "hi", { maxTokens: 4096 }), helper.generate(model, "", "hi")];
  process.kill(helper.pid, "SIGKILL");
  const ended = { name: "HelperError", message: "the helper ended (signal SIGKILL) without an answer" };
  await Promise.all(pending.map((request) => assert.rejects(request, ended)));
  await assert.rejects(helper.generate(model, "", "hi"), ended);
  assert.equal(await helper.close(), null);
});
