"""FEAT, OPTS, LANG, HELP, STAT, SYST and NOOP against the real server."""
import unittest

import torva_harness as h

USER = ("alice", "secret")

# HELP with the flags a fresh configuration has: the twelve commands that
# start switched off carry '*'.
HELP_DEFAULT = [
    "214-The following  commands are recognized (*:unimplemented)",
    " USER  PASS  ACCT* CWD   CDUP ",
    " SMNT* REIN  QUIT  AUTH  ADAT*",
    " PROT  PBSZ  CCC*  MIC*  CONF*",
    " ENC*  PORT  PASV  TYPE  STRU*",
    " MODE* RETR  STOR  STOU  APPE ",
    " ALLO* RNFR  RNTO  ABOR* DELE ",
    " RMD   MKD   PWD   LIST  NLST ",
    " SITE* SYST  STAT  HELP  NOOP ",
    " SIZE  FEAT  OPTS  LANG ",
    "214 End of HELP.",
]


def lines(client, command):
    client.send(command + "\r\n")
    return client.reply_lines()


class InfoCase(h.ServerCase):
    """One server per class; `CONFIG` and `TLS` choose it."""
    USERS = [USER]
    GREETING = None  # some classes set their own ready-message

    def session(self):
        return self.greeted()


class PlainServerTest(InfoCase):
    CONFIG = {"utf8-mode": "off", "default-lang": "en", "opts-impl-UTF8": "on"}

    def test_syst_and_noop_need_no_login_and_keep_the_session(self):
        c = self.session()
        self.assertEqual(c.cmd("SYST"), "215 Windows_NT")
        self.assertEqual(c.cmd("NOOP"), "200 Command okay.")
        self.assertEqual(c.cmd("noop"), "200 Command okay.")
        self.assertEqual(c.cmd("SYST ignored argument"), "215 Windows_NT")

    def test_help_and_stat_before_login_refuse_and_close(self):
        for command in ("HELP", "STAT", "HELP USER"):
            with self.subTest(command=command):
                c = self.session()
                self.assertEqual(c.cmd(command), "530 Not logged in.")
                self.assertTrue(c.closed())
                self.assertEqual(c.buf, b"")

    def test_help_lists_every_command_with_its_flag(self):
        c = self.session()
        c.login(*USER)
        self.assertEqual(lines(c, "HELP"), HELP_DEFAULT)
        self.assertEqual(lines(c, "HELP RETR"), HELP_DEFAULT)  # argument ignored
        self.assertEqual(c.cmd("NOOP"), "200 Command okay.")

    def test_stat_reports_the_session(self):
        c = self.session()
        c.login(*USER)
        self.assertEqual(lines(c, "STAT"), [
            "221-FTP Service status:", " USER: alice", " TYPE: ascii", " STRU: file",
            " MODE: stream", " UTF8: off", "221 End of status."])
        self.assertEqual(c.cmd("OPTS UTF8 ON"), "200 utf8-mode = on.")
        self.assertIn(" UTF8: on", lines(c, "STAT"))

    def test_stat_after_type_i_says_binary(self):
        c = self.session()
        c.login(*USER)
        self.assertTrue(c.cmd("TYPE I").startswith("200"))
        self.assertEqual(lines(c, "STAT")[2], " TYPE: binary")
        self.assertTrue(c.cmd("TYPE A").startswith("200"))
        self.assertEqual(lines(c, "STAT")[2], " TYPE: ascii")

    def test_feat_without_tls_lists_only_size_even_in_utf8_mode(self):
        c = self.session()
        expected = ["211-Extensions supported:", " SIZE", "211 END"]
        self.assertEqual(lines(c, "FEAT"), expected)
        self.assertEqual(c.cmd("OPTS UTF8 ON"), "200 utf8-mode = on.")
        self.assertEqual(lines(c, "FEAT"), expected)

    def test_opts_utf8_forms(self):
        c = self.session()
        cases = [
            ("OPTS UTF8 ON", "200 utf8-mode = on."),
            ("OPTS utf8 off", "200 utf8-mode = off."),
            ("OPTS UTF8ON", "200 utf8-mode = on."),
            ("OPTS Utf8   Off", "200 utf8-mode = off."),
            ("OPTS UTF8", "451 Options bad."),
            ("OPTS UTF8 MAYBE", "451 Options bad."),
            ("OPTS", "451 Options bad."),
            ("OPTS MLST type;size;", "451 Options bad."),
            ("OPTS XUTF8 ON", "451 Options bad."),
        ]
        for command, reply in cases:
            with self.subTest(command=command):
                self.assertEqual(c.cmd(command), reply)
        self.assertEqual(c.cmd("NOOP"), "200 Command okay.")

    def test_opts_changes_what_lang_accepts(self):
        c = self.session()
        self.assertEqual(c.cmd("LANG EN"), "500 Server is not utf8 mode.")
        self.assertEqual(c.cmd("LANG"), "500 Server is not utf8 mode.")
        self.assertEqual(c.cmd("OPTS UTF8 ON"), "200 utf8-mode = on.")
        self.assertEqual(c.cmd("LANG"), '200 LANG is "EN"')
        self.assertEqual(c.cmd("OPTS UTF8 OFF"), "200 utf8-mode = off.")
        self.assertEqual(c.cmd("LANG"), "500 Server is not utf8 mode.")

    def test_lang_parsing(self):
        c = self.session()
        self.assertEqual(c.cmd("OPTS UTF8 ON"), "200 utf8-mode = on.")
        cases = [
            ("LANG ja-JP", "200 LANG okay.", "JA"),
            ("LANG fr", "504 Unsupported parameter.", "JA"),   # unchanged
            ("LANG en", "200 LANG okay.", "EN"),
            ("LANG j", "504 Unsupported parameter.", "EN"),
            ("LANG jA", "200 LANG okay.", "JA"),
            ("LANG English", "200 LANG okay.", "EN"),
            ("LANG xJA", "504 Unsupported parameter.", "EN"),
            ("LANG JAPANESE", "200 LANG okay.", "JA"),
        ]
        for command, reply, now in cases:
            with self.subTest(command=command):
                self.assertEqual(c.cmd(command), reply)
                self.assertEqual(c.cmd("LANG"), '200 LANG is "%s"' % now)
        self.assertTrue(self.inst.wait_log("[W] Unknown language: FR"))
        self.assertTrue(self.inst.wait_log("[W] Unknown language: XJA"))
        self.assertTrue(self.inst.wait_log("[D] Language changed: ja"))


class OptsNotAllowedTest(InfoCase):
    CONFIG = {"utf8-mode": "on", "opts-impl-UTF8": "off", "default-lang": "ja"}

    def test_opts_utf8_refused_and_mode_kept(self):
        c = self.session()
        self.assertEqual(c.cmd("OPTS UTF8 OFF"), "451 Options bad.")
        self.assertEqual(c.cmd("OPTS UTF8 ON"), "451 Options bad.")
        # utf8-mode from the configuration is still on: LANG answers.
        self.assertEqual(c.cmd("LANG"), '200 LANG is "JA"')


class NoFeaturesTest(InfoCase):
    CONFIG = {"ignore-command": ["SIZE", "DELE", "NOOP"]}

    def test_feat_without_size_and_tls(self):
        c = self.session()
        self.assertEqual(lines(c, "FEAT"), ["211 No features."])

    def test_help_marks_switched_off_commands(self):
        c = self.session()
        c.login(*USER)
        got = lines(c, "HELP")
        expected = list(HELP_DEFAULT)
        expected[6] = " ALLO* RNFR  RNTO  ABOR* DELE*"
        expected[8] = " SITE* SYST  STAT  HELP  NOOP*"
        expected[9] = " SIZE* FEAT  OPTS  LANG "
        self.assertEqual(got, expected)
        self.assertEqual(c.cmd("NOOP"), "502 Command not implemented.")


class TlsFeatTest(InfoCase):
    CONFIG = {"auth-mechanism": "TLS", "utf8-mode": "on", "default-lang": "ja",
              "opts-impl-UTF8": "on"}
    TLS = True

    def test_feat_lists_security_utf8_and_language(self):
        c = self.session()
        head = ["211-Extensions supported:", " SIZE", " AUTH", " PROT", " PBSZ", " UTF8"]
        self.assertEqual(lines(c, "FEAT"), head + [" LANG EN;JA*", "211 END"])
        self.assertEqual(c.cmd("LANG EN"), "200 LANG okay.")
        self.assertEqual(lines(c, "FEAT"), head + [" LANG EN*;JA", "211 END"])
        self.assertEqual(c.cmd("OPTS UTF8 OFF"), "200 utf8-mode = off.")
        self.assertEqual(lines(c, "FEAT"), head[:-1] + ["211 END"])

    def test_help_marks_auth_regardless_of_mechanism(self):
        c = self.session()
        c.login(*USER)
        self.assertEqual(lines(c, "HELP"), HELP_DEFAULT)


class TlsFeatSwitchedOffTest(InfoCase):
    CONFIG = {"auth-mechanism": "TLS", "utf8-mode": "on",
              "ignore-command": ["SIZE", "AUTH", "PROT", "PBSZ"]}
    TLS = True

    def test_no_features_when_size_and_every_security_command_are_off(self):
        c = self.session()
        self.assertEqual(lines(c, "FEAT"), ["211 No features."])


class TlsFeatPartialTest(InfoCase):
    CONFIG = {"auth-mechanism": "TLS", "utf8-mode": "on", "default-lang": "en",
              "ignore-command": ["SIZE", "PBSZ", "LANG"]}
    TLS = True

    def test_only_switched_on_features_and_no_lang_line(self):
        c = self.session()
        self.assertEqual(lines(c, "FEAT"),
                         ["211-Extensions supported:", " AUTH", " PROT", " UTF8", "211 END"])


class PlainServerBannerNoTlsTest(InfoCase):
    CONFIG = {"utf8-mode": "on", "default-lang": "en"}

    def test_utf8_session_without_tls_announces_size_only(self):
        c = self.session()
        self.assertEqual(lines(c, "FEAT"), ["211-Extensions supported:", " SIZE", "211 END"])
        self.assertEqual(c.cmd("LANG"), '200 LANG is "EN"')


if __name__ == "__main__":
    unittest.main()
