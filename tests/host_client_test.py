"""The host client against the real helper and a model written by our tool."""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools", "host_client"))
from debrindle_host import HelperError, HelperProcess, Request  # noqa: E402

HELPER = os.environ["DEBRINDLE_HELPER"]
MAKE_MODEL = os.environ["DEBRINDLE_MAKE_MODEL"]


class HostClientTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        cls.model = os.path.join(cls.directory.name, "hello.gguf")
        subprocess.run([MAKE_MODEL, "--out", cls.model, "--words", "▁Hello ▁host !",
                        "--chain", "▁Hello ▁host !"], check=True)

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def test_warmup_generate_and_stop(self):
        with HelperProcess(HELPER) as helper:
            helper.warmup(self.model)
            self.assertEqual(helper.generate(self.model, "You are terse.", "Say hello."), " Hello host!")
            self.assertEqual(helper.close(), 0)

    def test_errors_come_back_as_answers(self):
        with HelperProcess(HELPER) as helper:
            with self.assertRaisesRegex(HelperError, "^null result from llama cpp$"):
                helper.warmup(os.path.join(self.directory.name, "missing.gguf"))
            # The helper goes on serving after a failed request.
            self.assertEqual(helper.generate(self.model, "", "hi"), " Hello host!")

    def test_pipelined_requests_are_answered_in_order(self):
        requests = [Request(self.model, action="warmup")] + [Request(self.model, user_prompt="hi")] * 50
        requests.insert(10, Request("", action="bogus"))
        with HelperProcess(HELPER) as helper:
            answers = helper.pipeline(requests)
        self.assertEqual(len(answers), len(requests))
        self.assertEqual(answers[0], {"ok": True, "output": "", "error": None})
        self.assertFalse(answers[10]["ok"])
        self.assertTrue(answers[10]["error"].startswith("unknown variant `bogus`"))
        self.assertEqual({a["output"] for i, a in enumerate(answers) if i not in (0, 10)}, {" Hello host!"})


if __name__ == "__main__":
    unittest.main()
