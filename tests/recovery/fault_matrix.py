#!/usr/bin/env python3
"""Kill-anywhere fault matrix of the update program.

Runs the real program on the simulated mouse, which keeps its state in a
file (--sim-state), and ends it with SIGKILL at every state of the update
controller and at ten packets spread over each image; the next run is
killed at the same point again when it gets there, and a last run must
finish. The mouse also vanishes, loses an answer, or loses power during the
write-back of its settings at those points. Every case must end with the
mouse on the new firmware and its profiles, active profile, resolution and
LED setting as they were before the first run.

The kill point is exact: the program stops itself (--sim-stop-at) once its
trace has written the chosen line, and is killed while stopped.

    fault_matrix.py --program build/linux-asan/app/MirelFirmwareUpdate          # all cases
    fault_matrix.py --program ... --quick                                        # the short set
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

MAIN_PACKETS = 6660
SECOND_PACKETS = 1237
# Exit statuses of a run that left the mouse on the new firmware: updated, or
# already up to date (a run after one killed once the images were written).
FINE = (0, 4)
RUN_LIMIT_S = 180


def spread(count, points=10):
    """Ten packet numbers spread over an image, the first and last included."""
    return sorted({round(i * (count - 1) / (points - 1)) for i in range(points)})


def packet_point(image, packet):
    # The second image's packet numbers start again from 0: its line is the
    # second one with that number (image 1 always has every number first).
    line = "CMirelDFUDlg::SendNextPacket (%d)" % packet
    return line if image == 1 else line + "#2"


STATE_POINTS = [
    ("state 2 (ready)", "to 2"),
    ("state 3 (entering bootloader)", "to 3"),
    ("state 3, backup starting", "CMirelDFUDlg::BackupFeature8100"),
    ("state 3, mouse rebooting", "CMirelDFUDlg::onDeviceDetached"),
    ("state 4 (image 1)", "to 4"),
    ("state 5 (image 2)", "to 5"),
    ("state 6 (restarting)", "to 6"),
    ("state 8 (restoring)", "to 8"),
    ("state 8, mid-write-back", "writing back profile sector 8"),
    ("state 9 (succeeded)", "to 9"),
]


def cases(quick):
    """(name, faults of the first run, kill point or None)."""
    result = []
    states = STATE_POINTS
    images = [(1, p) for p in spread(MAIN_PACKETS)] + [(2, p) for p in spread(SECOND_PACKETS)]
    if quick:
        # Each case is two or three whole runs of the program (about 40 s
        # under the sanitizers): the test run keeps to the case the
        # write-back mend is for; the rest is the whole matrix's.
        return [("kill at state 8, mid-write-back", "", "writing back profile sector 8")]
    for name, point in states:
        result.append(("kill at " + name, "", point))
    result.append(("kill at state 7 (power cycle asked)", "stay-away", "to 7"))
    for image, packet in images:
        result.append(("kill at image %d packet %d" % (image, packet), "", packet_point(image, packet)))
    for image, packet in images:
        result.append(("vanish at image %d packet %d" % (image, packet),
                       "vanish=%d,image=%d,reappear-ms=100" % (packet, image), None))
        if not quick:
            result.append(("lost answer at image %d packet %d" % (image, packet),
                           "drop=%d,image=%d" % (packet, image), None))
    # The backup reads 16 pieces of each of 16 sectors; the write-back
    # writes 18 requests per sector.
    for n in ([0, 128, 255] if not quick else [128]):
        result.append(("power loss at profile read %d" % n, "unplug-read=%d,reappear-ms=100" % n, None))
        if not quick:
            result.append(("lost answer at profile read %d" % n, "drop-read=%d" % n, None))
    for n in ([0, 1, 17, 144, 287] if not quick else [144]):
        result.append(("power loss at profile write %d" % n, "unplug-write=%d,reappear-ms=100" % n, None))
        if not quick:
            result.append(("lost answer at profile write %d" % n, "drop-write=%d" % n, None))
    return result


def read_state(path):
    state = {"sectors": []}
    with open(path, encoding="ascii") as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition(" ")
            if key == "sector":
                state["sectors"].append(value)
            elif key == "sectors":
                # The count and size line; the list itself is made of "sector" lines.
                state["sector_layout"] = value
            else:
                state[key] = value
    return state


class Matrix:
    def __init__(self, program, work, verbose):
        self.program = program
        self.work = work
        self.verbose = verbose
        self.state = os.path.join(work, "mouse.state")
        self.env = dict(os.environ)
        for name in ("HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "TMPDIR"):
            self.env[name] = work
        self.env["LC_ALL"] = "C"
        self.env.pop("MIREL_TRACE", None)
        self.env.setdefault("ASAN_OPTIONS", "detect_leaks=1")
        self.runs = 0

    def run(self, faults, stop_at):
        """One run: 'killed', an exit status, 'signal N' or 'hang'."""
        args = [self.program, "--simulate", "--console", "--yes", "--sim-latency-us=0", "--sim-state", self.state]
        if faults:
            args.append("--sim-faults=" + faults)
        if stop_at:
            args.append("--sim-stop-at=" + stop_at)
        self.runs += 1
        out_path = os.path.join(self.work, "run-%d.txt" % self.runs)
        with open(out_path, "wb") as out:
            child = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=out, stderr=out, env=self.env)
        deadline = time.monotonic() + RUN_LIMIT_S
        outcome = None
        while outcome is None:
            pid, status = os.waitpid(child.pid, os.WUNTRACED | os.WNOHANG)
            if pid == 0:
                if time.monotonic() > deadline:
                    os.kill(child.pid, signal.SIGKILL)
                    os.waitpid(child.pid, 0)
                    outcome = "hang"
                else:
                    time.sleep(0.005)
            elif os.WIFSTOPPED(status):
                # Stopped at its kill point: the kill lands exactly there.
                os.kill(child.pid, signal.SIGKILL)
                os.waitpid(child.pid, 0)
                outcome = "killed"
            elif os.WIFEXITED(status):
                outcome = os.WEXITSTATUS(status)
            else:
                outcome = "signal %d" % os.WTERMSIG(status)
        child.returncode = 0  # reaped above
        if self.verbose:
            print("    run %s%s -> %s" % (faults and "faults=" + faults + " " or "", stop_at and "stop at '" + stop_at + "'" or "", outcome))
        if outcome not in ("killed",) + FINE:
            with open(out_path, "rb") as f:
                tail = f.read()[-1500:].decode("utf-8", "replace")
            print("    output of the run that ended %s:\n%s" % (outcome, tail))
        os.remove(out_path)
        return outcome

    def reference(self):
        """The mouse as it is before any update: a run killed at its first arrival."""
        if os.path.exists(self.state):
            os.remove(self.state)
        if self.run("", "CMirelDFUDlg::onDeviceArrival") != "killed":
            raise SystemExit("the reference run was not stopped at the mouse's arrival")
        self.before = os.path.join(self.work, "before.state")
        shutil.copyfile(self.state, self.before)
        return read_state(self.before)

    def case(self, faults, stop_at, before):
        shutil.copyfile(self.before, self.state)
        for settings in ("config",):
            shutil.rmtree(os.path.join(self.work, settings), ignore_errors=True)
        outcomes = [self.run(faults, stop_at)]
        if stop_at:
            outcomes.append(self.run("", stop_at))
        outcomes.append(self.run("", None))
        problems = []
        for i, outcome in enumerate(outcomes):
            if outcome not in ("killed",) + FINE:
                problems.append("run %d ended %s" % (i + 1, outcome))
        if outcomes[-1] not in FINE:
            problems.append("the last run did not succeed")
        after = read_state(self.state)
        for key, wanted in (("mode", "application"), ("version", "14 2 7"), ("type6", "3")):
            if after.get(key) != wanted:
                problems.append("%s is %s, not %s" % (key, after.get(key), wanted))
        for key in ("profiles", "led"):
            if after.get(key) != before.get(key):
                problems.append("%s is '%s', was '%s'" % (key, after.get(key), before.get(key)))
        if after["sectors"] != before["sectors"]:
            changed = sum(1 for a, b in zip(after["sectors"], before["sectors"]) if a != b)
            problems.append("%d profile sectors differ" % changed)
        return outcomes, problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True, help="the MirelFirmwareUpdate executable")
    parser.add_argument("--quick", action="store_true", help="the short set the test run uses")
    parser.add_argument("--only", help="run only the cases whose name holds this text")
    parser.add_argument("--verbose", action="store_true", help="show every run")
    options = parser.parse_args()
    if not sys.platform.startswith("linux"):
        raise SystemExit("the fault matrix stops and kills processes the POSIX way; it runs on Linux")

    work = tempfile.mkdtemp(prefix="mirel-fault-matrix-")
    started = time.monotonic()
    rows = []
    try:
        matrix = Matrix(os.path.abspath(options.program), work, options.verbose)
        before = matrix.reference()
        for name, faults, stop_at in cases(options.quick):
            if options.only and options.only not in name:
                continue
            outcomes, problems = matrix.case(faults, stop_at, before)
            rows.append((name, outcomes, problems))
            print("%-48s %-22s %s" % (name, " ".join(str(o) for o in outcomes), "recovered" if not problems else
                                      "LOST: " + "; ".join(problems)), flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    lost = sum(1 for row in rows if row[2])
    print()
    print("| cases run | recovered | lost | runs of the program | seconds |")
    print("|---|---|---|---|---|")
    print("| %d | %d | %d | %d | %.0f |" % (len(rows), len(rows) - lost, lost, matrix.runs, time.monotonic() - started))
    return 1 if lost or not rows else 0


if __name__ == "__main__":
    sys.exit(main())
