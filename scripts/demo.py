#!/usr/bin/env python3
"""The installer as a user meets it, against a local stand-in of the release
site: run inside the test bed (make demo). Clicks "Install TAVRO", waits for
the verified setup to start, then shows one failure (a release whose SHA-256
value does not match) and its message."""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "bed"))
import bed  # noqa: E402
from bed import drive  # noqa: E402

WAIT = 60000


def say(text):
    print(text, flush=True)


def run_installer(user):
    process = subprocess.Popen(user.command(bed.INSTALLER), stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    drive("wait-window", WAIT)
    return process


def main():
    display = bed.Display()
    bed.start_wine()
    user = bed.UserProfile()
    with open(bed.SAMPLE_SETUP, "rb") as f:
        setup = f.read()

    say("== A verified release ==")
    bed.reset_site()
    bed.publish_release(setup)
    bed.set_rules({"/releases/setup.exe": {"delay_ms": 40}})
    link = os.environ.get("TAVRO_BED_LINK", "")
    say("Release site: https://%s/updates/tavro-update.txt (local stand-in on 127.0.0.1%s)" % (
        bed.HOST, ", over a link of %s ms and %s Mbit/s" % tuple(link.split(",")) if link else ""))
    process = run_installer(user)
    bed.screenshot("demo-ready")
    say("Window up; status: %s" % drive("state")["status"])
    drive("click")
    say("Clicked \"Install TAVRO\"; status: %s" % drive("wait-status", WAIT,
                                                           "Downloading the verified TAVRO installer...")["status"])
    bed.screenshot("demo-running")
    drive("wait-gone", WAIT)
    say("Window closed; installer exit code %d" % process.wait(timeout=60))
    ran = os.path.join(user.working_dir, "sample-setup-ran.txt")
    for _ in range(100):
        if os.path.exists(ran):
            break
        time.sleep(0.1)
    with open(ran, "rb") as f:
        say("The verified setup ran: %s" % f.read().decode().strip())

    say("")
    say("== A release whose SHA-256 value does not match ==")
    bed.reset_site()
    bed.publish_release(setup, sha="0" * 64)
    process = run_installer(user)
    drive("click")
    box = drive("wait-messagebox", WAIT)
    say("Message box \"%s\": %s" % (box["caption"], box["text"]))
    bed.screenshot("demo-failed")
    drive("dismiss-messagebox", WAIT)
    state = drive("wait-button", WAIT, "Try again", 1)
    say("Button now: %s" % state["button"])
    drive("close")
    drive("wait-gone", WAIT)
    process.wait(timeout=60)
    say("Files left in the working directory: %s" % ", ".join(user.files()))

    say("")
    say("== The log (%s) ==" % "%LOCALAPPDATA%\\TAVRO\\Installer\\TAVRO.Installer.log")
    sys.stdout.write(user.log_bytes().decode("latin-1").replace("\r\n", "\n"))
    say("")
    say("Screenshots: %s/demo-ready.png, demo-running.png, demo-failed.png" % bed.SCREENSHOTS)
    display.close()


if __name__ == "__main__":
    main()
