"""The random fault campaign: seeded runs of morva against the random device of tarvex-sim,
each checked against campaign_oracle.py. Started by bench/campaign.sh."""

import argparse
import concurrent.futures
import fcntl
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import campaign_oracle as oracle

MASK = (1 << 64) - 1
DRIVERS = ["none"] * 6 + ["overreport"] * 3 + ["cap1"] * 2 + [
    "lateclose", "lateclose", "shortwrite", "stall", "errsend", "errrecv", "gone"]
SCRIPTS = {
    "none": "",
    "overreport": "ClearCommError:extra=3",
    "cap1": "ReadFile:cap=1",
    "lateclose": "CloseHandle@{at}:late=300",
    "shortwrite": "WriteFile@{at}:short=0",
    "stall": "WriteFile@{at}:stall",
    "errsend": "ClearCommError@{at}#1:errors=0x8",
    "errrecv": "ClearCommError@{at}#2:errors=0x8",
    "gone": "CreateFileA@{at}:gone=2",
}


def mix(x):  # splitmix64, as the simulator draws
    x = (x + 0x9E3779B97F4A7C15) & MASK
    x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & MASK
    return x ^ (x >> 31)


class Rng:
    def __init__(self, seed):
        self.state = seed

    def below(self, n):
        self.state = mix(self.state)
        return self.state % n

    def pick(self, items):
        return items[self.below(len(items))]


def srecord(kind, address, data):
    body = bytes([len(data) + 3, address >> 8, address & 0xFF]) + data
    return "S%d%s%02X" % (kind, body.hex().upper(), 0xFF - (sum(body) & 0xFF))


def scenario(seed, windows):
    """The run of this seed: the port, the firmware file and up to three morva runs."""
    rng = Rng(seed)
    lines = []
    if rng.below(10):
        lines.append(srecord(0, 0, b"KRT07Q_CAMPAIGN"))
    for n in range(1 + rng.below(5)):
        lines.append(srecord(1, 16 * n, bytes(rng.below(256) for _ in range(1 + rng.below(16)))))
    end = rng.below(20)
    if end < 16:
        lines.append("S9030000FC")
    elif end == 16:
        lines.append("S70500000000FA")
    elif end < 19:
        lines += ["S9030000FC", srecord(1, 0x100, b"\x01\x02")]
    calls = []
    for _ in range(1 + rng.below(3)):
        word = rng.pick(["UPDT -w"] * 5 + ["UPDT"] * 2 + ["UTID", "VERS", "STAT", "HELLO 1"] +
                        ["HWSC"])
        driver = "none" if not windows or word == "HWSC" else rng.pick(DRIVERS)
        calls.append((word, driver, 1 + rng.below(8)))
    return {"port": 1 + rng.below(256), "lines": lines, "crlf": rng.below(5) == 0,
            "calls": calls}


def predict(draws, scn):
    """The oracle's account of every morva run of the scenario."""
    device = oracle.Device(draws)
    out = []
    for word, driver, at in scn["calls"]:
        run = oracle.Run(device, scn["port"], driver, at)
        passes = None
        if word == "HWSC":
            code = oracle.scan(run, scn["port"])
        elif word.startswith("UPDT"):
            code, passes = oracle.update(run, scn["lines"], word.endswith("-w"))
        else:
            code = oracle.pass_through(run, word.split())
        out.append({"word": word, "driver": driver, "at": at, "exit": code, "out": run.out,
                    "sent": run.sent, "passes": passes, "waits": run.waits})
    return out


WINE_DID_NOT_START = "Application could not be started"


class Build:
    def __init__(self, name, morva, sim, model=None, prefixes=None):
        self.name, self.morva, self.sim, self.model = name, morva, sim, model
        self.prefixes = prefixes  # Windows: a free Wine prefix per worker
        self.restarts = 0  # calls that Wine could not start and that ran again

    def windows(self):
        return self.name == "windows"


def read_draws(build, seed, count):
    text = subprocess.run([build.sim, "--chaos", str(seed), "--draws", str(count)],
                          capture_output=True, text=True, check=True).stdout
    draws = {}
    for line in text.splitlines():
        n, fault, _, _, byte = line.split("\t")[0], *line.split("\t")[1].split()
        draws[int(n)] = (fault, int(byte.split("=")[1], 16))
    return draws


def lock_free(slave):
    """No morva holds the port: its lock file is free and the port opens at once."""
    st = os.stat(slave)
    major, minor = os.major(st.st_rdev), os.minor(st.st_rdev)
    for folder in ("/run/lock", "/tmp"):
        path = "%s/morva-tty-%d-%d.lock" % (folder, major, minor)
        if os.path.exists(path):
            fd = os.open(path, os.O_RDONLY)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError:
                return "the lock %s is still held" % path
            finally:
                os.close(fd)
    try:
        os.close(os.open(slave, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
    except OSError as e:
        return "the port does not open: %s" % e
    return None


def one_run(build, campaign_seed, index, seed, verbose=False):
    """None when morva did what the oracle says, else what differed."""
    scn = scenario(seed, build.windows())
    draws = read_draws(build, seed, 400)
    expected = predict(draws, scn)
    tmp = tempfile.mkdtemp(prefix="morva-campaign-")
    prefix = build.prefixes.get() if build.prefixes else None
    sim = None
    try:
        ports = prefix + "/dosdevices" if prefix else tmp + "/ports"
        os.makedirs(ports, exist_ok=True)
        firmware = tmp + "/fw.mot"
        with open(firmware, "w", newline="") as f:
            f.write("".join(line + ("\r\n" if scn["crlf"] else "\n") for line in scn["lines"]))
        account = tmp + "/account"
        record = tmp + "/runs.jsonl"
        sim = subprocess.Popen([build.sim, "--dir", ports, "--port", str(scn["port"]), "--chaos",
                                str(seed), "--account", account], stdout=subprocess.PIPE,
                               text=True)
        ready = re.match(r"tarvex-sim: COM\d+ -> (\S+)", sim.stdout.readline())
        if not ready:
            return "the simulator did not start"
        slave = ready.group(1)
        taken = 0  # account lines of the runs before
        vanished = False
        for call in expected:
            args = call["word"].split()
            if call["word"] != "HWSC":
                args = ["-c", str(scn["port"])] + args
            if call["word"].startswith("UPDT"):
                args.append(("Z:" + firmware.replace("/", "\\")) if prefix else firmware)
            env = dict(os.environ, LC_ALL="C", MORVA_RECORD=record)
            if prefix:
                env.update(WINEPREFIX=prefix, WINEDEBUG="-all",
                           MORVA_RECORD="Z:" + record.replace("/", "\\"),
                           MORVA_DRIVER_MODEL=SCRIPTS[call["driver"]].format(at=call["at"]))
                command = ["wine", build.model] + args
            else:
                env["MORVA_PORTS"] = ports
                command = [build.morva] + args
            bound = (25 if prefix else 15) + 4 * call["waits"] + 0.5 * len(call["sent"])
            for attempt in (1, 2):
                started = time.monotonic()
                try:
                    done = subprocess.run(command, env=env, capture_output=True, timeout=bound)
                except subprocess.TimeoutExpired:
                    return "%s: no end within %.0f s (a hang)" % (call["word"], bound)
                seconds = time.monotonic() - started
                got = done.stdout.decode("latin-1")
                lines = open(account).read().splitlines() if os.path.exists(account) else []
                mine = [line.split("\t") for line in lines[taken:]]
                taken = len(lines)
                # Wine itself, not the program, failed to start: nothing reached the device,
                # so the same call is started once more.
                if attempt == 1 and prefix and WINE_DID_NOT_START in got and not mine:
                    build.restarts += 1
                    continue
                break
            if verbose:
                print("  morva %s (driver %s at %d): exit %d in %.2f s" % (
                    " ".join(args), call["driver"], call["at"], done.returncode, seconds))
                for entry in mine:
                    print("    device: " + " | ".join(entry))
            problems = []
            if done.returncode != call["exit"]:
                problems.append("exit %d, the oracle says %d" % (done.returncode, call["exit"]))
            # The Windows console's text mode ends each printed line with CR LF.
            if got != (call["out"].replace("\n", "\r\n") if prefix else call["out"]):
                problems.append("printed %r, the oracle says %r" % (got, call["out"]))
            if [entry[2] for entry in mine] != call["sent"]:
                problems.append("the device got %r, the oracle says %r" % (
                    [entry[2] for entry in mine], call["sent"]))
            flashed = [e[2] for e in mine if e[3].startswith("took flash")]
            if call["word"] == "UPDT -w" and done.returncode == 0 and flashed != scn["lines"]:
                problems.append("exit 0, but the flash pass took %r" % flashed)
            problems += check_record(record, call)
            # Once gone, the device's pty name may already serve another run's device.
            vanished |= any(entry[1].startswith("vanish") for entry in mine)
            held = None if vanished else lock_free(slave)
            if held:
                problems.append(held)
            if problems:
                return "%s (driver %s at %d): %s" % (call["word"], call["driver"], call["at"],
                                                     "; ".join(problems))
        return None
    finally:
        if sim:
            sim.send_signal(signal.SIGTERM)
            try:
                sim.wait(timeout=10)
            except subprocess.TimeoutExpired:
                sim.kill()
        if prefix:
            build.prefixes.put(prefix)
        shutil.rmtree(tmp, ignore_errors=True)


def check_record(path, call):
    try:
        with open(path, encoding="utf-8") as f:
            line = f.read().splitlines()[-1]
        entry = json.loads(line)
    except (OSError, IndexError, ValueError) as e:
        return ["no record line (%s)" % e]
    problems = []
    if entry.get("exit") != call["exit"] or entry.get("interrupted") is not False:
        problems.append("the record says exit %r" % entry.get("exit"))
    if call["passes"] is not None:
        got = [(p["pass"], p["lines_sent"], p["resends"], p.get("stopped_at"))
               for p in entry.get("passes", [])]
        want = [(p["pass"], p["lines_sent"], p["resends"], p["stopped_at"])
                for p in call["passes"]]
        if got != want:
            problems.append("the record's passes are %r, the oracle says %r" % (got, want))
    return problems


def wine_prefixes(count, root):
    prefixes = queue.Queue()
    for n in range(count):
        path = "%s/wine-%d" % (root, n)
        subprocess.run([os.path.dirname(__file__) + "/../tests/e2e/wine_prefix.sh", "setup",
                        path], check=True)
        prefixes.put(path)
    return prefixes


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", choices=["posix", "windows"], required=True)
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--replay", type=int, help="replay the run of this run seed alone")
    parser.add_argument("--jobs", type=int, default=max(2, 2 * (os.cpu_count() or 1)))
    parser.add_argument("--morva", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--model")
    parser.add_argument("--summary", help="append '<runs> <mismatches>' to this file")
    parser.add_argument("--fixed", help="a file of '<build> <run seed>' lines to run first")
    opts = parser.parse_args()
    windows = opts.build == "windows"
    root = tempfile.mkdtemp(prefix="morva-campaign-programs-")
    jobs = 1 if opts.replay is not None else opts.jobs
    # Copies, so that a rebuild while the campaign runs cannot change or hide a program.
    programs = [shutil.copy2(path, root) if path else None
                for path in (opts.morva, opts.sim, opts.model)]
    build = Build(opts.build, *programs, wine_prefixes(jobs, root) if windows else None)
    me = os.path.relpath(os.path.dirname(os.path.abspath(__file__)) + "/campaign.sh")
    try:
        if opts.replay is not None:
            scn = scenario(opts.replay, windows)
            print("run seed %d: COM%d, %d lines%s, runs %s" % (
                opts.replay, scn["port"], len(scn["lines"]), " (CR LF)" if scn["crlf"] else "",
                scn["calls"]))
            for call in predict(read_draws(build, opts.replay, 400), scn):
                print("  oracle: %s -> exit %d, %r, device gets %d commands" % (
                    call["word"], call["exit"], call["out"], len(call["sent"])))
            why = one_run(build, None, 0, opts.replay, verbose=True)
            print("mismatch: " + why if why else "no mismatch")
            return 1 if why else 0
        started = time.monotonic()
        mismatches = 0
        seeds = [mix(opts.seed ^ mix(i)) for i in range(opts.runs)]
        if opts.fixed:
            with open(opts.fixed) as f:
                fixed = [line.split() for line in f if line.strip() and line[0] != "#"]
            seeds = [int(words[1]) for words in fixed if words[0] == opts.build] + seeds
        opts.runs = len(seeds)
        with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
            futures = {pool.submit(one_run, build, opts.seed, i, s): (i, s)
                       for i, s in enumerate(seeds)}
            for future in concurrent.futures.as_completed(futures):
                i, s = futures[future]
                why = future.result()
                if why:
                    mismatches += 1
                    print("%s run %d: %s\n  replay: %s --replay %s %d" % (
                        opts.build, i, why, me, opts.build, s), flush=True)
        minutes = (time.monotonic() - started) / 60
        if build.restarts:
            print("%s: Wine could not start the program %d times; each call ran once more" % (
                opts.build, build.restarts))
        print("%s: %d runs, %d mismatches, %.0f runs a minute" % (
            opts.build, opts.runs, mismatches, opts.runs / minutes if minutes else 0), flush=True)
        if opts.summary:
            with open(opts.summary, "a") as f:
                f.write("%d %d\n" % (opts.runs, mismatches))
        return 1 if mismatches else 0
    finally:
        if windows:
            while not build.prefixes.empty():
                subprocess.run([os.path.dirname(__file__) + "/../tests/e2e/wine_prefix.sh",
                                "cleanup", build.prefixes.get()])
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
