"""The tarncl module's costs beside C++ in the same run.

1. 10,000 brRead calls from Python beside the same 10,000 from C++ (bench_typelib's
   BM_ReadItems10000 on the same account, which this script fills first).
2. Per-call cost of the binding: a Python call of brLen and brExtractStr beside the direct
   C++ call (bench_typelib's BM_Direct*), with an empty Python method call for scale.

Usage: bench_python.py <build directory>   (PYTHONPATH is set from it)
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import timeit

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
sys.path.insert(0, os.path.join(build, "python"))
work = tempfile.mkdtemp(prefix="tarn-pybench-")
with open(os.path.join(work, "odbcinst.ini"), "w") as f:
    f.write(f"[Tarn]\nDriver = {build}/server/odbc/libtarnodbc.so\n")
with open(os.path.join(work, "odbc.ini"), "w") as f:
    f.write(f"[Tarn]\nDriver = Tarn\nSystem = {work}/system\n")
os.environ["ODBCSYSINI"] = work
os.environ["ODBCINI"] = os.path.join(work, "odbc.ini")
dsn = "DSN=Tarn;Account=READS;CreateAccount=Yes"

import tarncl  # noqa: E402  (after the data source exists)

ITEMS = 10000
env = tarncl.clsTarnEnvironment()
conn = env.brOpenConnection("ODBC", dsn)
conn.brExecute("CREATE-FILE CUST 101")
cust = conn.brOpenFile("", "CUST")
body = tarncl.clsTarnDynamicArray("x" * 200)
ids = [f"C{i}" for i in range(ITEMS)]
for i in ids:
    cust.brWrite(body, i)


def read_all():
    read = cust.brRead
    for i in ids:
        read(i)


def cpp_reads():
    """One run of the C++ reads in bench_typelib: the median CPU seconds of 10,000 brRead."""
    run = subprocess.run(
        [os.path.join(build, "bench", "bench_typelib"), "--benchmark_format=json",
         "--benchmark_filter=ReadItems", "--benchmark_min_time=0.3",
         "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true"],
        env={**os.environ, "TARN_BENCH_DSN": dsn}, check=True, capture_output=True, text=True)
    b = next(b for b in json.loads(run.stdout)["benchmarks"] if b["aggregate_name"] == "median")
    return b["cpu_time"] * {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]


# The two sides take turns, 7 pairs of medians, and the ratio is the median of the pairs' ratios:
# a shared machine's load drifts, and a pair sees the same load. The reads are timed in CPU time
# on both sides (the driver runs in the calling thread), which load disturbs far less than the
# wall clock.
pairs = []
for _ in range(7):
    py = statistics.median(timeit.repeat(read_all, number=1, repeat=5, timer=time.process_time))
    pairs.append((py, cpp_reads()))
py_read = statistics.median(p for p, _ in pairs)
cpp_read = statistics.median(c for _, c in pairs)
read_ratio = statistics.median(p / c for p, c in pairs)
print("pairs (Python, C++) ms:", " ".join(f"{p * 1e3:.1f}/{c * 1e3:.1f}" for p, c in pairs))

a = tarncl.clsTarnDynamicArray("Smith\u00fe12 High Street\u00fe555-0100\u00fd555-0199\u00fenote")


class Plain:
    def nothing(self):
        return 0


p = Plain()
n = 1_000_000
py_len = min(timeit.repeat(a.brLen, number=n, repeat=5)) / n
py_extract = min(timeit.repeat(lambda: a.brExtractStr(3, 2), number=n, repeat=5)) / n
py_lambda = min(timeit.repeat(lambda: None, number=n, repeat=5)) / n
py_plain = min(timeit.repeat(p.nothing, number=n, repeat=5)) / n

cpp = subprocess.run(
    [os.path.join(build, "bench", "bench_typelib"), "--benchmark_format=json",
     "--benchmark_filter=Direct", "--benchmark_repetitions=5",
     "--benchmark_report_aggregates_only=true"],
    env={**os.environ, "TARN_BENCH_DSN": dsn}, check=True, capture_output=True, text=True)
results = {b["name"]: b for b in json.loads(cpp.stdout)["benchmarks"]
           if b.get("aggregate_name", "median") == "median"}


def seconds(name, clock):
    b = next(v for k, v in results.items() if v.get("run_name", k).split("/")[0] == name)
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
    return b[clock] * scale


# CPU time throughout.
cpp_len = seconds("BM_DirectLen", "cpu_time")
cpp_extract = seconds("BM_DirectExtractStr", "cpu_time")

print(f"{'measure':44} {'Python':>12} {'C++':>12} {'ratio/extra':>12}")
ratio = read_ratio
verdict = "met" if ratio <= 1.05 else "missed"
print(f"{'10,000 x brRead (s)':44} {py_read:12.4f} {cpp_read:12.4f} {ratio:11.2f}x"
      f"  target <= 1.05x: {verdict}")
print(f"{'brLen per call (ns)':44} {py_len * 1e9:12.0f} {cpp_len * 1e9:12.1f} "
      f"{(py_len - cpp_len) * 1e9:10.0f}ns")
print(f"{'brExtractStr(3, 2) per call (ns)':44} {py_extract * 1e9:12.0f} "
      f"{cpp_extract * 1e9:12.1f} {(py_extract - cpp_extract) * 1e9:10.0f}ns")
print(f"{'empty Python method call, for scale (ns)':44} {py_plain * 1e9:12.0f}")
print(f"{'empty lambda call, in the extract figure (ns)':44} {py_lambda * 1e9:12.0f}")
