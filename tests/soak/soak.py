#!/usr/bin/env python3
"""Soak test: one helper in server mode answers a long, mixed stream of requests.

The stream mixes generations on two small scripted models (so that the cache
switches between them), warmups in every request form, decode errors, loads
of missing files, unknown members, and every few hundred lines a line of
about 1 MiB (a warmup with a huge prompt, a huge unknown member, a decode
error that quotes a huge string, a missing model with a huge prompt, a line
of white space). Every answer is compared with the exact line expected for
its request, in order. At the end the number of answers must equal the
number of request lines and the status must be 0, and the helper's resident
memory (VmRSS) must have grown by less than 1 % from the moment the first
1,000 answers were in. Memory is read while the helper waits for its next
line, right after the same small generation each time, with glibc's malloc
thresholds pinned (see PINNED_MALLOC).

A second server then loads four models in turn, glibc's malloc as hosts run it:
VmRSS after every cycle within 1 MiB of VmRSS after the first 20 cycles.

The huge lines are never tokenized: a generation with a 1 MiB prompt would
size its context to the prompt and take a very long time on its own.

    python3 tests/soak/soak.py                    # 100,000 requests
    python3 tests/soak/soak.py --requests 2000 --switch-cycles 500   # a short run

The helper and the model writer default to build/bin; the models are written
into a temporary directory. Only the Python standard library is used.
"""

import argparse
import json
import os
import queue
import random
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HUGE = 1 << 20
RSS_AFTER = 1000
ALLOWED_GROWTH_PERCENT = 1.0
STALL_SECONDS = 600
SWITCH_RSS_AFTER = 20
SWITCH_ALLOWED_GROWTH_KIB = 1024
# glibc raises its mmap and trim thresholds as large blocks come and go, and
# then keeps freed megabytes (the 1 MiB lines, each generation's context) in
# its heap: VmRSS at idle moments wanders by several megabytes with no trend.
# Pinned at glibc's own starting values, freed blocks go back at once and
# VmRSS shows what the helper keeps, which is what the check is about.
PINNED_MALLOC = "glibc.malloc.mmap_threshold=131072:glibc.malloc.trim_threshold=131072"


def json_string(text):
    # The helper's escaping: short escapes for \b \t \n \f \r, \u00xx for the
    # other control bytes, everything else (non-ASCII included) as it is.
    return json.dumps(text, ensure_ascii=False)


def answer_ok(output):
    return '{"ok":true,"output":' + json_string(output) + ',"error":null}'


def answer_error(error):
    return '{"ok":false,"output":null,"error":' + json_string(error) + "}"


WARM = answer_ok("")
LOAD_FAILED = answer_error("null result from llama cpp")

# Lines the decoder refuses, with the exact error text each gets.
DECODE_ERRORS = [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("   \t", "EOF while parsing a value at line 1 column 0"),
    ("{}", "missing field `modelPath` at line 1 column 2"),
    ('{"modelPath":"m","systemPrompt":"s","userPrompt":"u","temperature":0.7,"maxTokens":256.0}',
     "invalid type: floating point `256.0`, expected i32 at line 1 column 88"),
    ('{"action":"run"}', "unknown variant `run`, expected `generate` or `warmup` at line 1 column 15"),
    ('{"action":null}', "expected value at line 1 column 11"),
    ('{"maxTokens":"12"}', 'invalid type: string "12", expected i32 at line 1 column 17'),
    ('["generate"]', "invalid length 1, expected struct LlamaHelperRequest with 6 elements at line 1 column 12"),
    ("[]", "invalid length 1, expected struct LlamaHelperRequest with 6 elements at line 1 column 2"),
    ('["m.gguf","","hi",0,0]', "unknown variant `m.gguf`, expected `generate` or `warmup` at line 1 column 9"),
    ('{"modelPath":"a","modelPath":"a"}', "duplicate field `modelPath` at line 1 column 28"),
    ('{"modelPath":"m"}', "missing field `systemPrompt` at line 1 column 17"),
    ('{"a":1,}', "trailing comma at line 1 column 8"),
    ("1e400", "number out of range at line 1 column 5"),
    ("\ufeff{}", "expected value at line 1 column 1"),
    ('{"modelPath":"m"', "EOF while parsing an object at line 1 column 16"),
]

WORDS = ["tell", "me", "a", "b", "story", "about", "the", "sea", "caf\u00e9", "\u65e5\u672c", "\u00a0"]


def budget(user_prompt, max_tokens):
    words = len(user_prompt.split())  # only ASCII and U+00A0 white space appear here
    return min(160, max(48, 3 * words + 32), min(512, max(1, max_tokens)))


class Models:
    def __init__(self, make_model, directory):
        self.a = os.path.join(directory, "cycle.gguf")
        self.b = os.path.join(directory, "hello.gguf")
        # A: " a b a b ..." until the budget ends it. B: " Hello world!", then the end.
        subprocess.run([make_model, "--out", self.a, "--words", "\u2581a \u2581b",
                        "--chain", "\u2581a \u2581b", "--end", "\u2581a"], check=True)
        subprocess.run([make_model, "--out", self.b, "--words", "\u2581Hello \u2581world !",
                        "--chain", "\u2581Hello \u2581world !"], check=True)
        self.missing = os.path.join(directory, "missing.gguf")
        # Each again, of other depths, for the switches.
        self.deeper_a, self.deeper_b = (os.path.join(directory, f"{n}-deeper.gguf") for n in ("cycle", "hello"))
        for path, words, end, layers in ((self.deeper_a, "\u2581a \u2581b", ["--end", "\u2581a"], "3"),
                                         (self.deeper_b, "\u2581Hello \u2581world !", [], "5")):
            subprocess.run([make_model, "--out", path, "--words", words, "--chain", words, "--layers", layers, *end],
                           check=True)

    def reply(self, path, user_prompt, max_tokens):
        tokens = budget(user_prompt, max_tokens)
        if path in (self.a, self.deeper_a):
            return "".join(" a" if k % 2 == 0 else " b" for k in range(tokens))
        return "".join([" Hello", " world", "!"][:tokens])


def request_object(path, user_prompt="hi", max_tokens=4, temperature=0, system="You are terse.", action=None,
                   extra=None):
    members = []
    if action is not None:
        members.append('"action":' + action)
    if extra is not None:
        members.append(extra)
    members += ['"modelPath":' + json_string(path), '"systemPrompt":' + json_string(system),
                '"userPrompt":' + json_string(user_prompt), '"temperature":' + repr(temperature),
                '"maxTokens":' + str(max_tokens)]
    return "{" + ",".join(members) + "}"


def request_array(path, user_prompt, max_tokens, action='"generate"'):
    return "[" + ",".join([action, json_string(path), '"s"', json_string(user_prompt), "0", str(max_tokens)]) + "]"


def huge_request(kind, models):
    big = "x" * HUGE
    if kind == 0:
        return request_object(models.b, user_prompt=big, action='"warmup"'), WARM
    if kind == 1:
        extra = '"note":' + json_string(big)
        return request_object(models.a, max_tokens=3, extra=extra), answer_ok(models.reply(models.a, "hi", 3))
    if kind == 2:
        line = '{"maxTokens":"' + big + '"}'
        return line, answer_error('invalid type: string "' + big + '", expected i32 at line 1 column ' +
                                  str(len(line) - 1))
    if kind == 3:
        return request_object(models.missing, system=big), LOAD_FAILED
    return " " * HUGE, answer_error("EOF while parsing a value at line 1 column 0")


HUGE_KINDS = 5


def ordinary_request(rng, models):
    """One ordinary request line and its expected answer."""
    roll = rng.random()
    path = models.a if rng.random() < 0.5 else models.b
    user_prompt = " ".join(rng.choice(WORDS) for _ in range(rng.randrange(0, 8)))
    max_tokens = rng.randrange(-3, 9)
    temperature = rng.choice([0, 0.15, 0.7, 1.5])
    if roll < 0.45:
        line = request_object(path, user_prompt, max_tokens, temperature)
        return line, answer_ok(models.reply(path, user_prompt, max_tokens))
    if roll < 0.55:
        line = request_array(path, user_prompt, max_tokens)
        return line, answer_ok(models.reply(path, user_prompt, max_tokens))
    if roll < 0.62:
        extra = rng.choice(['"comment":"x"', '"extra":[[[{}]]],"comment":"y"', '"n":[1,-2.5e+3,true,null]'])
        line = request_object(path, user_prompt, max_tokens, temperature, extra=extra)
        return line, answer_ok(models.reply(path, user_prompt, max_tokens))
    if roll < 0.72:
        action = rng.choice(['"warmup"', '{"warmup":null}'])
        return request_object(path, user_prompt, action=action), WARM
    if roll < 0.78:
        line = request_object(models.missing, user_prompt, action=rng.choice([None, '"warmup"']))
        return line, LOAD_FAILED
    if roll < 0.93:
        line, error = rng.choice(DECODE_ERRORS)
        return line, answer_error(error)
    # White space around a request and a CR before the LF change nothing.
    line = "  " + request_object(path, user_prompt, max_tokens) + " \r"
    return line, answer_ok(models.reply(path, user_prompt, max_tokens))


def requests(count, huge_every, seed, models, sample_points):
    rng = random.Random(seed)
    for index in range(count):
        if index + 1 in sample_points:
            # Memory is sampled right after this answer: the same request
            # every time, so that every sample finds the helper in the same
            # state.
            line = request_object(models.a, "hi", 4)
            yield line, answer_ok(models.reply(models.a, "hi", 4))
        elif index % huge_every == huge_every // 2:
            yield huge_request((index // huge_every) % HUGE_KINDS, models)
        else:
            yield ordinary_request(rng, models)


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for entry in status:
            if entry.startswith("VmRSS:"):
                return int(entry.split()[1])
    raise RuntimeError("no VmRSS")


def switch_check(helper_path, models, cycles, environment):
    """Loads the four models in turn `cycles` times in one server; gives the
    errors found."""
    paths = [models.a, models.b, models.deeper_a, models.deeper_b]
    helper = subprocess.Popen([helper_path, "--server"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, env=environment)
    deadline = threading.Timer(STALL_SECONDS + cycles, helper.kill)
    deadline.start()
    rss = []
    for cycle in range(1, cycles + 1):
        for path in paths:
            helper.stdin.write((request_object(path, max_tokens=2) + "\n").encode("utf-8"))
            helper.stdin.flush()
            answer = helper.stdout.readline().decode("utf-8", "replace")
            if answer != answer_ok(models.reply(path, "hi", 2)) + "\n":
                helper.kill()
                return [f"switch cycle {cycle}, {os.path.basename(path)}: got {answer[:200]!r}"]
        if cycle >= SWITCH_RSS_AFTER:
            rss.append(resident_kib(helper.pid))
    helper.stdin.close()
    status = helper.wait()
    deadline.cancel()
    growth = max(rss) - rss[0]
    print(f"soak: {cycles * len(paths)} switches, VmRSS {rss[0]} KiB after {SWITCH_RSS_AFTER} cycles, "
          f"at most {max(rss)} KiB after any later one ({growth:+d} KiB)")
    errors = [f"switching server: exit status {status}"] if status != 0 else []
    if growth > SWITCH_ALLOWED_GROWTH_KIB:
        errors.append(f"resident memory grew by {growth} KiB over the switches")
    return errors


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=100_000)
    parser.add_argument("--huge-every", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--helper", default=os.path.join(ROOT, "build", "bin", "debrindle-llama-helper"))
    parser.add_argument("--switch-cycles", type=int, default=2500, help="cycles of four model loads each")
    parser.add_argument("--make-model")
    parser.add_argument("--rss-every", type=int, default=0, help="also print VmRSS every this many answers")
    parser.add_argument("--default-malloc", action="store_true",
                        help="leave glibc's malloc thresholds as they are (VmRSS then also shows its caching)")
    args = parser.parse_args()
    make_model = args.make_model or os.path.join(os.path.dirname(args.helper), "debrindle-make-model")
    if args.requests <= RSS_AFTER:
        parser.error(f"--requests must be above {RSS_AFTER}")
    if args.switch_cycles <= SWITCH_RSS_AFTER:
        parser.error(f"--switch-cycles must be above {SWITCH_RSS_AFTER}")

    with tempfile.TemporaryDirectory() as directory:
        models = Models(make_model, directory)
        environment = dict(os.environ)
        environment.pop("BRINDLE_DEBRINDLE_LLAMA_LOGS", None)
        if not args.default_malloc:
            environment["GLIBC_TUNABLES"] = PINNED_MALLOC
        helper = subprocess.Popen([args.helper, "--server"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, env=environment)
        expected_answers = queue.Queue(maxsize=1000)
        written = [0]
        errors = []
        # Memory is sampled with the helper idle: the writer stops after each
        # sample point's request until its answer is in and measured.
        sample_points = {RSS_AFTER, args.requests}
        if args.rss_every:
            sample_points.update(range(args.rss_every, args.requests, args.rss_every))
        sampled = threading.Semaphore(0)

        def feed():
            try:
                for line, expected in requests(args.requests, args.huge_every, args.seed, models, sample_points):
                    expected_answers.put(expected)
                    helper.stdin.write(line.encode("utf-8") + b"\n")
                    written[0] += 1
                    if written[0] in sample_points:
                        helper.stdin.flush()
                        sampled.acquire()
                helper.stdin.flush()
            except (BrokenPipeError, OSError) as error:
                errors.append(f"writing request {written[0] + 1}: {error}")
            expected_answers.put(None)

        stderr_text = []
        threading.Thread(target=lambda: stderr_text.append(helper.stderr.read()), daemon=True).start()
        last_progress = [time.monotonic()]

        def watchdog():
            while helper.poll() is None:
                if time.monotonic() - last_progress[0] > STALL_SECONDS:
                    errors.append(f"no answer for {STALL_SECONDS} s: the helper was killed")
                    helper.kill()
                    return
                time.sleep(1)

        started = time.monotonic()
        threading.Thread(target=feed, daemon=True).start()
        threading.Thread(target=watchdog, daemon=True).start()

        answered = 0
        mismatches = 0
        rss_at_1k = rss_end = None
        while True:
            expected = expected_answers.get()
            if expected is None:
                break
            line = helper.stdout.readline()
            last_progress[0] = time.monotonic()
            if not line:
                errors.append(f"output ended after {answered} answers")
                break
            answered += 1
            actual = line.decode("utf-8", "replace")
            if not actual.endswith("\n") or actual[:-1] != expected:
                mismatches += 1
                if mismatches <= 5:
                    errors.append(f"answer {answered}: expected {expected[:200]!r}, got {actual[:200]!r}")
            if answered in sample_points:
                # Every request so far is answered and the input is still
                # open: the helper waits for its next line with everything it
                # keeps.
                rss = resident_kib(helper.pid)
                if answered == RSS_AFTER:
                    rss_at_1k = rss
                if answered == args.requests:
                    rss_end = rss
                if args.rss_every:
                    print(f"soak: {answered} answers, VmRSS {rss} KiB", flush=True)
                sampled.release()
        try:
            helper.stdin.close()
        except OSError:
            pass
        extra = helper.stdout.read()
        if extra:
            errors.append(f"{len(extra)} bytes of output after the last answer")
        status = helper.wait()
        elapsed = time.monotonic() - started

        switching_environment = dict(environment)
        switching_environment.pop("GLIBC_TUNABLES", None)
        errors += switch_check(args.helper, models, args.switch_cycles, switching_environment)

    if answered != written[0]:
        errors.append(f"{written[0]} request lines, {answered} answers")
    if status != 0:
        errors.append(f"exit status {status}")
    if stderr_text and stderr_text[0]:
        errors.append(f"standard error: {stderr_text[0][:500]!r}")
    growth = None
    if rss_at_1k and rss_end:
        growth = 100.0 * (rss_end - rss_at_1k) / rss_at_1k
        if growth >= ALLOWED_GROWTH_PERCENT:
            errors.append(f"resident memory grew by {growth:.2f} %")
    else:
        errors.append("resident memory could not be sampled")
    if mismatches:
        errors.append(f"{mismatches} answers differed from the expected ones")

    print(f"soak: {written[0]} requests, {answered} answers, {elapsed:.1f} s, status {status}"
          + (", glibc malloc as it is" if args.default_malloc else ""))
    print(f"soak: VmRSS {rss_at_1k} KiB after {RSS_AFTER} answers, {rss_end} KiB at the end"
          + (f" ({growth:+.3f} %)" if growth is not None else ""))
    for error in errors:
        print(f"soak: FAILED: {error}", file=sys.stderr)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
