"""Programs that explain themselves: every program answers --help and --version
and does nothing else; the commands that only read never create the registry;
every program has a manual page that man renders, torvad.conf(5) names every
configuration key, and cmake --install puts the pages under share/man.
"""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

BIN = os.environ.get("TORVA_BIN", os.path.join(os.path.dirname(__file__), "../../build/bin"))
SOURCE = os.environ.get("TORVA_SOURCE", os.path.join(os.path.dirname(__file__), "../.."))
BUILD = os.path.dirname(os.path.abspath(BIN))
MAN_DIR = os.path.join(BUILD, "man")
SETTINGS = r"HKLM\SOFTWARE\MORVEK SOFTWARE\Torva Server"
MAN = shutil.which("man")


def programs():
    return sorted(n for n in os.listdir(BIN)
                  if os.access(os.path.join(BIN, n), os.X_OK) and not n.startswith("."))


def tree(path):
    """Every path below `path` with its size, to see that nothing changed."""
    out = {}
    for root, dirs, files in os.walk(path):
        for name in dirs + files:
            p = os.path.join(root, name)
            out[os.path.relpath(p, path)] = os.path.getsize(p) if name in files else None
    return out


class Case(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tvhelp-")
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        self.env = dict(os.environ, TORVA_REGISTRY=os.path.join(self.tmp, "reg", "store.reg"),
                        DISPLAY="")

    def run_cmd(self, name, *args, env=None):
        p = subprocess.run([os.path.join(BIN, name), *args], env=env or self.env, cwd=self.tmp,
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8",
                                                                               "replace")


class HelpAndVersionTest(Case):
    def test_every_program_answers_and_does_nothing_else(self):
        names = programs()
        self.assertIn("torvad", names)
        # A registry with work waiting: a legacy user that tvmigrate would move,
        # and directories the other commands would use.
        os.mkdir(os.path.join(self.tmp, "users"))
        for args in (["add", SETTINGS, "/v", "Path", "/d", self.tmp, "/f"],
                     ["add", SETTINGS, "/v", "UserDir", "/d", os.path.join(self.tmp, "users"),
                      "/f"],
                     ["add", SETTINGS + r"\passwd\olduser", "/v", "usrdir", "/d", "/x", "/f"]):
            self.assertEqual(self.run_cmd("tvreg", *args)[0], 0)
        before = tree(self.tmp)
        for name in names:
            with self.subTest(program=name):
                rc, out, err = self.run_cmd(name, "--help", "extra", "-u", "x")
                self.assertEqual((rc, err), (0, ""), out)
                self.assertIn(name, out.lower())
                self.assertTrue(out.endswith("See %s(8).\n" % name), out)
                self.assertNotIn("Starting the Torva Server", out)
                rc, out, err = self.run_cmd(name, "--version")
                self.assertEqual((rc, err), (0, ""))
                self.assertRegex(out, r"^%s \(Torva Server\) \d+\.\d+\.\d+\n$" % re.escape(name))
                self.assertEqual(tree(self.tmp), before, "%s changed files" % name)

    def test_usage_texts_of_the_commands_are_kept(self):
        # --help shows the very usage text that a wrong command line gets.
        rc, wrong, _ = self.run_cmd("tvsetcfg", "-SHOW")
        self.assertEqual(rc, 1)
        self.assertTrue(self.run_cmd("tvsetcfg", "--help")[1].startswith(wrong))
        rc, _, wrong = self.run_cmd("tvmkuser", "-x")
        self.assertEqual(rc, 1)
        self.assertTrue(self.run_cmd("tvmkuser", "--help")[1].startswith(wrong))


class ReadOnlyCommandsTest(Case):
    def test_a_missing_registry_is_named_and_never_created(self):
        store = self.env["TORVA_REGISTRY"]
        missing = 'The registry file "%s" does not exist.\n' % store
        cases = [
            (["tvlsuser"], 255, "System error. (101)\n"),
            (["tvlsban"], 255, 'Cannot query the registry "DisconnectDir". (2)\n'),
            (["tvsetusers", "-show"], 255, 'Cannot query the registry "UserDir". (2)\n'),
            (["tvsetcfg", "-show"], 255, 'Cannot query the registry "ConfigDir". (2)\n'),
            (["tvsetban", "-show"], 255, 'Cannot query the registry "DisconnectDir". (2)\n'),
            (["tvreg", "query", SETTINGS], 1,
             "ERROR: The system was unable to find the specified registry key or value.\n"),
        ]
        for argv, rc, message in cases:
            with self.subTest(argv=argv):
                self.assertEqual(self.run_cmd(*argv), (rc, "", missing + message))
        self.assertFalse(os.path.exists(os.path.dirname(store)))

    def test_an_existing_registry_is_read_without_being_written(self):
        self.assertEqual(self.run_cmd("tvreg", "add", SETTINGS, "/v", "DisconnectDir", "/d",
                                      self.tmp, "/f")[0], 0)
        regdir = os.path.dirname(self.env["TORVA_REGISTRY"])
        before = tree(regdir)
        os.chmod(regdir, 0o555)
        self.addCleanup(os.chmod, regdir, 0o755)
        self.assertEqual(self.run_cmd("tvsetban", "-show"), (0, self.tmp + "\n", ""))
        self.assertEqual(self.run_cmd("tvlsban"), (2, "Does not exist.\n", ""))
        self.assertEqual(self.run_cmd("tvlsuser")[0], 255)  # no UserDir, but no message
        self.assertNotIn("does not exist", self.run_cmd("tvlsuser")[2])
        self.assertEqual(tree(regdir), before)


@unittest.skipUnless(MAN, "man is not installed")
class ManualPagesTest(Case):
    def render(self, page):
        env = dict(os.environ, MANWIDTH="80", MANPAGER="cat", PAGER="cat", LC_ALL="C.UTF-8")
        p = subprocess.run([MAN, "--warnings", "-l", page], capture_output=True, env=env,
                           timeout=60, stdin=subprocess.DEVNULL)
        return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode()

    def test_every_program_has_a_page_that_renders(self):
        pages = ["torvad.conf.5"] + ["%s.8" % n for n in programs()]
        for page in pages:
            with self.subTest(page=page):
                path = os.path.join(MAN_DIR, page)
                self.assertTrue(os.path.exists(path), path)
                rc, out, err = self.render(path)
                self.assertEqual((rc, err), (0, ""))
                name = page.rsplit(".", 1)[0]
                self.assertRegex(out, r"NAME\n\s+%s - \S" % re.escape(name))
                self.assertIn("SEE ALSO", out)

    def test_the_configuration_page_names_every_key(self):
        with open(os.path.join(SOURCE, "torvad", "ConfigLoad.cpp")) as f:
            keys = re.findall(r'\{"([^"]+)", Kind::', f.read())
        self.assertGreaterEqual(len(keys), 55)
        with open(os.path.join(SOURCE, "docs", "man", "torvad.conf.5.scd")) as f:
            page = f.read()
        for key in keys:
            self.assertIn("*%s*" % key, page, key)
        rc, out, _ = self.render(os.path.join(MAN_DIR, "torvad.conf.5"))
        for line in ("require-tls = flag (extension)", "Default: off", "run-as = account"):
            self.assertIn(line, out)

    def test_install_puts_the_pages_under_share_man(self):
        prefix = os.path.join(self.tmp, "prefix")
        p = subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix],
                           capture_output=True, timeout=300)
        self.assertEqual(p.returncode, 0, p.stderr)
        installed = tree(os.path.join(prefix, "share", "man"))
        for name in programs():
            self.assertIn(os.path.join("man8", name + ".8"), installed)
        self.assertIn(os.path.join("man5", "torvad.conf.5"), installed)
        self.assertTrue(os.path.exists(
            os.path.join(prefix, "conf", "fail2ban", "filter.d", "torvad.conf")))


if __name__ == "__main__":
    unittest.main()
