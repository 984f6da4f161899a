"""A host's side of the helper's server mode, with only the standard library.

    with HelperProcess("build/bin/debrindle-llama-helper") as helper:
        helper.warmup("models/m.gguf")
        reply = helper.generate("models/m.gguf", "You are terse.", "Say hello.")

Each request is one JSON line on the helper's standard input; each answer is
one JSON line on its standard output, in the same order. Requests may be
written ahead of their answers (see `pipeline`).
"""

from __future__ import annotations

import json
import subprocess
import sys
from dataclasses import dataclass
from typing import Iterable


class HelperError(Exception):
    """A request the helper answered with "ok": false; the text is its error."""


@dataclass
class Request:
    model_path: str
    system_prompt: str = ""
    user_prompt: str = ""
    temperature: float = 0.0
    max_tokens: int = 128
    action: str = "generate"

    def to_line(self) -> bytes:
        body = {
            "action": self.action,
            "modelPath": self.model_path,
            "systemPrompt": self.system_prompt,
            "userPrompt": self.user_prompt,
            "temperature": self.temperature,
            "maxTokens": self.max_tokens,
        }
        return (json.dumps(body, ensure_ascii=False, separators=(",", ":")) + "\n").encode("utf-8")


class HelperProcess:
    """The helper started with --server, talked to through its pipes."""

    def __init__(self, helper_path: str, diagnostics: bool = False, env: dict | None = None):
        import os

        environment = dict(os.environ if env is None else env)
        if diagnostics:
            environment["BRINDLE_DEBRINDLE_LLAMA_LOGS"] = "1"
        else:
            environment.pop("BRINDLE_DEBRINDLE_LLAMA_LOGS", None)
        self._process = subprocess.Popen(
            [helper_path, "--server"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=None if diagnostics else subprocess.DEVNULL,
            env=environment,
        )

    def __enter__(self) -> "HelperProcess":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def send(self, request: Request) -> dict:
        """Writes one request and reads its answer."""
        return self.pipeline([request])[0]

    def pipeline(self, requests: Iterable[Request]) -> list[dict]:
        """Writes all requests at once, then reads one answer per request."""
        requests = list(requests)
        # Write from a thread so that a long batch cannot fill both pipes.
        import threading

        writer = threading.Thread(target=self._write_all, args=(requests,))
        writer.start()
        answers = [self._read_answer() for _ in requests]
        writer.join()
        return answers

    def warmup(self, model_path: str) -> None:
        answer = self.send(Request(model_path, action="warmup"))
        if not answer["ok"]:
            raise HelperError(answer["error"])

    def generate(self, model_path: str, system_prompt: str, user_prompt: str,
                 temperature: float = 0.0, max_tokens: int = 128) -> str:
        answer = self.send(Request(model_path, system_prompt, user_prompt, temperature, max_tokens))
        if not answer["ok"]:
            raise HelperError(answer["error"])
        return answer["output"]

    def close(self) -> int:
        """Closes the helper's input; it releases its model and ends with 0."""
        if self._process.stdin and not self._process.stdin.closed:
            self._process.stdin.close()
        return self._process.wait()

    def _write_all(self, requests: list[Request]) -> None:
        assert self._process.stdin is not None
        self._process.stdin.write(b"".join(request.to_line() for request in requests))
        self._process.stdin.flush()

    def _read_answer(self) -> dict:
        assert self._process.stdout is not None
        line = self._process.stdout.readline()
        if not line:
            raise HelperError(f"the helper ended (status {self._process.wait()}) without an answer")
        return json.loads(line)


def main(argv: list[str]) -> int:
    if len(argv) < 4:
        print("usage: debrindle_host.py HELPER MODEL USER_PROMPT [SYSTEM_PROMPT]", file=sys.stderr)
        return 2
    helper_path, model_path, user_prompt = argv[1:4]
    system_prompt = argv[4] if len(argv) > 4 else ""
    with HelperProcess(helper_path) as helper:
        helper.warmup(model_path)
        print(helper.generate(model_path, system_prompt, user_prompt))
        return helper.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
