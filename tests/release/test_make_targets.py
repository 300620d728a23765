"""The Makefile's publishing targets: what they refuse, what they build, and
which official host the test tree takes. Each run writes only into a build
directory of its own."""
import os
import shutil
import subprocess
import tempfile
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
COMMAND_LINE_PASSWORD = ("*** TAVRO_SIGN_PASSWORD was given on make's command line, where ps and the shell history "
                         "show it: put the password in a file and set TAVRO_SIGN_PASSWORD_FILE to that file.  Stop.\n")


def make(*args, **variables):
    # Not the make (and jobserver) this test may run under.
    env = {k: v for k, v in os.environ.items()
           if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL") and not k.startswith("TAVRO_SIGN_")}
    env.update(variables)
    return subprocess.run(["make", "--no-print-directory", "-C", SOURCE] + list(args), env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=300)


class MakeTargets(unittest.TestCase):
    def setUp(self):
        self.build = tempfile.mkdtemp(prefix="tavro-make-")
        self.addCleanup(shutil.rmtree, self.build, ignore_errors=True)

    def test_password_on_the_command_line_is_refused_before_anything_runs(self):
        for target in ("release", "release-check"):
            with self.subTest(target):
                result = make("-n", target, "BUILD=" + self.build, "TAVRO_SIGN_PASSWORD=secret")
                self.assertEqual((result.returncode, result.stdout), (2, ""))
                self.assertRegex(result.stderr, r"^Makefile:\d+: ")
                self.assertTrue(result.stderr.endswith(COMMAND_LINE_PASSWORD), result.stderr)
        # From the environment it reaches the script as before.
        self.assertEqual(make("-n", "release-check", TAVRO_SIGN_PASSWORD="secret").returncode, 0)

    def test_publish_without_a_destination_stops_before_anything_runs(self):
        result = make("-n", "publish", "BUILD=" + self.build)
        self.assertEqual((result.returncode, result.stdout), (2, ""))
        self.assertRegex(result.stderr, r"\AMakefile:\d+: \*\*\* usage: make publish DEST=\[user@\]host:/docroot "
                                        r"\[SETUP=file\] \[MANIFEST=file\]\.  Stop\.\n\Z")

    def test_manifest_targets_build_the_tool_and_no_test_program(self):
        tool = "cmake --build %s --target tavro-manifest" % self.build
        sample = "cmake --build %s/test-i686 --target sample_setup" % self.build
        tests = "cmake --build %s/test-i686 -j" % self.build
        # target, whether it builds the test programs, what it builds instead
        for target, builds_tests, builds in (("manifest", False, tool), ("check-manifest", False, tool),
                                             ("check-live", False, tool), ("publish DEST=h:/d", False, tool),
                                             ("build-tests", True, None),
                                             ("sample-setup", False, sample)):
            with self.subTest(target):
                commands = make("-n", *target.split(), "BUILD=" + self.build).stdout
                self.assertEqual(tests in commands, builds_tests)
                if builds:
                    self.assertIn(builds, commands)

    def test_test_tree_follows_the_official_host_of_the_build(self):
        tree = os.path.join(self.build, "test-i686")
        moved = ("%s was configured for tavro.example and %s/ for downloads.example.com: reconfiguring %s for "
                 "downloads.example.com, whose files it tests." % (tree, self.build, tree))
        # The host build/ was configured for; what make says about the test tree.
        for host, said in (("tavro.example", []), ("downloads.example.com", [moved]),
                           ("downloads.example.com", [])):
            with self.subTest(host=host, said=said):
                with open(os.path.join(self.build, "CMakeCache.txt"), "w") as f:
                    f.write("TAVRO_OFFICIAL_HOST:STRING=%s\n" % host)
                # build/ itself stays as written here: its configuration is not remade.
                result = make("-o", "configure", "configure-tests", "BUILD=" + self.build)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual([line for line in result.stdout.splitlines() if line.startswith(tree + " ")], said)
                with open(os.path.join(tree, "CMakeCache.txt")) as f:
                    self.assertIn("TAVRO_OFFICIAL_HOST:STRING=%s\n" % host, f.read())


if __name__ == "__main__":
    unittest.main(verbosity=2)
