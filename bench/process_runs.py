"""Whole runs of the benchmarks' processes, shared by the drivers that compare Corvane with its peers.

Each process runs under /usr/bin/time, which gives its CPU (user + system) and peak resident memory
(the kernel's ru_maxrss); wall time is taken here. A whole exchange starts the module first.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

TIME = "/usr/bin/time"


def run(argv, cwd, env=None):
    """Starts argv under /usr/bin/time and returns the Popen and its start time. A child forked
    from this Python process would count Python's own pages in its peak; time's children do not."""
    report = tempfile.NamedTemporaryFile(prefix="corvane-time-", delete=False)
    report.close()
    start = time.perf_counter()
    process = subprocess.Popen([TIME, "-f", "%U %S %M", "-o", report.name] + argv, cwd=cwd, env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    process.report = report.name
    return process, start


def reap(process):
    """Waits for the process; returns (exit code, cpu seconds, max rss in kB, end time)."""
    process.wait()
    end = time.perf_counter()
    with open(process.report) as f:
        user, system, rss = f.read().split()[-3:]
    os.remove(process.report)
    return process.returncode, float(user) + float(system), int(rss), end


def exchange(bin_dir, work, module, source, output, host_options=(), module_program=None):
    """One whole exchange in work, module started first (the program of that name in bin_dir, or
    module_program). Returns cpu, wall, host rss, module rss."""
    folder = os.path.join(work, module)
    os.makedirs(folder, exist_ok=True)
    if os.path.exists(os.path.join(work, output)):
        os.remove(os.path.join(work, output))
    mod, _ = run([module_program or os.path.join(bin_dir, module)], folder)
    # The module is waiting once it holds its folder's lock; a short pause is enough.
    time.sleep(0.05)
    host, start = run([os.path.join(bin_dir, "corvane")] + list(host_options) + [module, source, output], work)
    host_code, host_cpu, host_rss, host_end = reap(host)
    mod_code, mod_cpu, mod_rss, _ = reap(mod)
    if host_code != 0 or mod_code != 0:
        sys.exit("exchange failed: host %d, module %d" % (host_code, mod_code))
    return host_cpu + mod_cpu, host_end - start, host_rss, mod_rss


def single(argv, cwd, env=None):
    """One run of a peer's command. Returns cpu, wall, rss in kB."""
    process, start = run(argv, cwd, env)
    code, cpu, rss, end = reap(process)
    if code != 0:
        sys.exit("failed: %s" % " ".join(argv))
    return cpu, end - start, rss


def summary(values, unit, scale=1.0):
    return "median %7.3f %s, worst %7.3f %s" % (statistics.median(values) * scale, unit, max(values) * scale, unit)
