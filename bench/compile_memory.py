"""Peak memory of one query on a cache miss, in bytes per byte of text, and its time.

Each text runs in a fresh process: the peak resident set is reset just
before the query (clear_refs 5) and read back after it, less what the
process held before, so the text itself and the interpreter do not count.
"""

import subprocess
import sys

# Shape, number of repeats of its term: long flat sums (8 and 16 MiB), and
# numbers, conditionals with and without a division, calls and && chains.
TEXTS = [
    ("'x+'*n+'x'", 4 << 20),
    ("'x+'*n+'x'", 8 << 20),
    ("'1.5*x+'*n+'x'", 700 << 10),
    ("'(x>0?x:1)+'*n+'x'", 400 << 10),
    ("'(x>0?x/2:1)+'*n+'x'", 400 << 10),
    ("'sin(x)*'*n+'x'", 600 << 10),
    ("'x&&'*n+'x'", 1 << 20),
]

CHILD = """
import sys, time, numpy, _qelto

def status(key):
    with open('/proc/self/status') as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) * 1024

n = int(sys.argv[2])
text = eval(sys.argv[1])
x = numpy.zeros(16)
_qelto.query('x+1', x=x)
before = status('VmRSS')
with open('/proc/self/clear_refs', 'w') as f:
    f.write('5')
start = time.perf_counter()
_qelto.query(text, x=x)
seconds = time.perf_counter() - start
print(len(text), status('VmHWM') - before, seconds)
"""


def main() -> None:
    for shape, n in TEXTS:
        out = subprocess.run([sys.executable, "-c", CHILD, shape, str(n)], capture_output=True, text=True, check=True)
        length, peak, seconds = out.stdout.split()
        length, peak = int(length), int(peak)
        print(
            f"compile memory {shape:>22} ({length / (1 << 20):4.1f} MiB): {peak / length:5.1f} bytes a text byte,"
            f" {float(seconds):5.2f} s ({float(seconds) * 1e9 / length:4.0f} ns a byte)"
        )


if __name__ == "__main__":
    main()
