// A host's side of the helper's server mode for Node.js, with no packages.
//
//   import { HelperProcess } from "./debrindle_host.mjs";
//   const helper = new HelperProcess("build/bin/debrindle-llama-helper");
//   await helper.warmup("models/m.gguf");
//   const reply = await helper.generate("models/m.gguf", "You are terse.", "Say hello.");
//   await helper.close();
//
// Each request is one JSON line on the helper's standard input; each answer
// is one JSON line on its standard output, in the same order. Requests may
// be made before earlier ones are answered: they are written at once and
// their promises settle in order.

import { spawn } from "node:child_process";
import { pathToFileURL } from "node:url";

/** A request the helper answered with "ok": false, or a helper that ended without answering. */
export class HelperError extends Error {
  constructor(message) {
    super(message);
    this.name = "HelperError";
  }
}

/** The helper started with --server, talked to through its pipes. */
export class HelperProcess {
  #child;
  #pending = []; // { resolve, reject } per request written, oldest first
  #partial = ""; // standard output received after the last full line
  #endedError = null;
  #exited;

  constructor(helperPath, { diagnostics = false, env = process.env } = {}) {
    const environment = { ...env };
    if (diagnostics) environment.BRINDLE_DEBRINDLE_LLAMA_LOGS = "1";
    else delete environment.BRINDLE_DEBRINDLE_LLAMA_LOGS;
    this.#child = spawn(helperPath, ["--server"], {
      stdio: ["pipe", "pipe", diagnostics ? "inherit" : "ignore"],
      env: environment,
    });
    this.#child.stdout.setEncoding("utf8");
    this.#child.stdout.on("data", (text) => this.#receive(text));
    // A helper that has ended cannot take a request: its pending ones are
    // rejected below, so a broken pipe needs no answer of its own.
    this.#child.stdin.on("error", () => {});
    this.#exited = new Promise((resolve) => {
      this.#child.on("error", (error) => {
        this.#end(`the helper could not be started: ${error.message}`);
        resolve(null);
      });
      // "close" comes after the helper has ended and its standard output has
      // been read to the end, so every answer it wrote has been delivered.
      this.#child.on("close", (status, signal) => {
        this.#end(`the helper ended (${signal ? `signal ${signal}` : `status ${status}`}) without an answer`);
        resolve(status);
      });
    });
  }

  /** The helper's process id. */
  get pid() {
    return this.#child.pid;
  }

  /** Loads a model without generating. */
  async warmup(modelPath) {
    await this.#request({ action: "warmup", modelPath, systemPrompt: "", userPrompt: "" });
  }

  /** Generates a reply; resolves to the generated text. */
  generate(modelPath, systemPrompt, userPrompt, { temperature = 0, maxTokens = 128 } = {}) {
    return this.#request({ action: "generate", modelPath, systemPrompt, userPrompt, temperature, maxTokens });
  }

  /** Closes the helper's input; it releases its model and ends. Resolves to its exit status. */
  close() {
    this.#child.stdin.end();
    return this.#exited;
  }

  #request({ temperature = 0, maxTokens = 128, ...fields }) {
    if (this.#endedError) return Promise.reject(new HelperError(this.#endedError));
    return new Promise((resolve, reject) => {
      this.#pending.push({ resolve, reject });
      this.#child.stdin.write(JSON.stringify({ ...fields, temperature, maxTokens }) + "\n");
    });
  }

  #receive(text) {
    const lines = (this.#partial + text).split("\n");
    this.#partial = lines.pop();
    for (const line of lines) {
      const waiter = this.#pending.shift();
      if (!waiter) continue; // nothing asked for it; a helper never does this
      let answer;
      try {
        answer = JSON.parse(line);
      } catch {
        answer = { ok: false, error: `the helper answered with a line that is not JSON: ${line}` };
      }
      if (answer.ok) waiter.resolve(answer.output);
      else waiter.reject(new HelperError(answer.error));
    }
  }

  #end(message) {
    this.#endedError ??= message;
    for (const waiter of this.#pending.splice(0)) waiter.reject(new HelperError(this.#endedError));
  }
}

// From the shell: node debrindle_host.mjs HELPER MODEL USER_PROMPT [SYSTEM_PROMPT]
async function main(argv) {
  if (argv.length < 3) {
    console.error("usage: debrindle_host.mjs HELPER MODEL USER_PROMPT [SYSTEM_PROMPT]");
    return 2;
  }
  const [helperPath, modelPath, userPrompt, systemPrompt = ""] = argv;
  const helper = new HelperProcess(helperPath);
  try {
    await helper.warmup(modelPath);
    console.log(await helper.generate(modelPath, systemPrompt, userPrompt));
  } catch (error) {
    console.error(error.message);
    await helper.close();
    return 1;
  }
  return (await helper.close()) ?? 1;
}

if (process.argv[1] && import.meta.url === pathToFileURL(process.argv[1]).href) {
  process.exitCode = await main(process.argv.slice(2));
}
