// Types of debrindle_host.mjs, the Node.js host client for the helper's server mode.

/** A request the helper answered with "ok": false (the message is its error text), or a helper that ended without answering. */
export class HelperError extends Error {
  name: "HelperError";
}

export interface HelperOptions {
  /** Sets BRINDLE_DEBRINDLE_LLAMA_LOGS=1 and lets the helper's standard error through; otherwise it is discarded. */
  diagnostics?: boolean;
  /** The helper's environment (default: this process's). */
  env?: Record<string, string | undefined>;
}

export interface GenerateOptions {
  /** Sampling temperature; 0.15 and below samples greedily (default 0). */
  temperature?: number;
  /** The most tokens to generate (default 128). */
  maxTokens?: number;
}

/** The helper started with --server. Requests may overlap; their promises settle in the order they were made. */
export class HelperProcess {
  constructor(helperPath: string, options?: HelperOptions);
  /** The helper's process id (undefined when it could not be started). */
  readonly pid: number | undefined;
  /** Loads a model without generating. Rejects with a HelperError. */
  warmup(modelPath: string): Promise<void>;
  /** Resolves to the generated text. Rejects with a HelperError. */
  generate(modelPath: string, systemPrompt: string, userPrompt: string, options?: GenerateOptions): Promise<string>;
  /** Ends the helper's input; resolves to its exit status (0 after a normal end, null when a signal ended it or it never started). */
  close(): Promise<number | null>;
}
