#!/usr/bin/env python3
"""Follows the processor time of a worker program under one Wine prefix, from /proc.

Wine answers GetProcessTimes for another process with far less than the process used (an
inflating restore that used 1.2 s of processor time by the kernel's count was reported as
0.26 s), so the throughput benchmark reads the kernel's count instead.

  worker-cpu.py PREFIX PROGRAM SAMPLES
      polls every 10 ms, until ended with SIGTERM, the processes whose command line names
      PROGRAM (restore-worker.exe, null-worker.exe) and whose WINEPREFIX is PREFIX, and then
      writes to SAMPLES one line per sample: the pid, the seconds since the process started,
      its user + kernel seconds.

  worker-cpu.py --report SAMPLES LOAD
      prints "cpu=C load_cpu=L" for the worker: C its processor seconds at its last sample (it
      ended within a poll of it), L those it had used LOAD seconds after it started (the time
      to its first chunk request, as restore-host reports it).
"""
import os
import signal
import sys
import time

TICK = os.sysconf("SC_CLK_TCK")


def find_workers(prefix, program, since):
    """The matching processes started after `since` (seconds since boot): those whose program
    (the first word of the command line) is PROGRAM; not this sampler, whose arguments name it."""
    wanted = ("WINEPREFIX=%s" % prefix).encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                if not f.read().split(b"\0")[0].lower().endswith(program.lower().encode()):
                    continue
            with open("/proc/%s/environ" % entry, "rb") as f:
                if wanted not in f.read().split(b"\0"):
                    continue
            age, _ = stat(entry)
        except OSError:
            continue
        if time.clock_gettime(time.CLOCK_BOOTTIME) - age >= since:
            found.append(entry)
    return found


def stat(pid):
    """(seconds since the process started, user + kernel seconds)."""
    with open("/proc/%s/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # After the name: utime and stime are the 12th and 13th fields, starttime the 20th.
    started = int(fields[19]) / TICK
    return time.clock_gettime(time.CLOCK_BOOTTIME) - started, (int(fields[11]) + int(fields[12])) / TICK


def sample(prefix, program, path):
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(True))
    samples = []
    workers = []
    # Workers started after this sampler was: Python may take longer to start than the program
    # it is to follow.
    age, _ = stat(os.getpid())
    since = time.clock_gettime(time.CLOCK_BOOTTIME) - age - 0.02
    while not stop:
        if not workers:
            workers = find_workers(prefix, program, since)
        for pid in list(workers):
            try:
                samples.append((pid,) + stat(pid))
            except OSError:
                workers.remove(pid)  # it ended
        time.sleep(0.01)
    with open(path, "w") as f:
        for pid, age, cpu in samples:
            f.write("%s %.3f %.3f\n" % (pid, age, cpu))


def report(path, load):
    samples = []
    with open(path) as f:
        for line in f:
            pid, age, cpu = line.split()
            samples.append((pid, float(age), float(cpu)))
    if not samples:
        print("cpu=- load_cpu=-")
        return
    # Should its name show in a short-lived helper too, the worker is the process that used the
    # most.
    worker = max(samples, key=lambda sample: sample[2])[0]
    mine = [(age, cpu) for pid, age, cpu in samples if pid == worker]
    load_cpu = next((cpu for age, cpu in mine if age >= load), mine[-1][1])
    print("cpu=%.3f load_cpu=%.3f" % (mine[-1][1], load_cpu))


def main(argv):
    if len(argv) == 4 and argv[1] == "--report":
        report(argv[2], float(argv[3]))
        return 0
    if len(argv) == 4:
        sample(argv[1], argv[2], argv[3])
        return 0
    sys.stderr.write("usage: worker-cpu.py PREFIX PROGRAM SAMPLES | --report SAMPLES LOAD\n")
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
