# Long time series leave no memory behind: building, updating, solving (Newton, then the sweep) and
# dropping the shared feeder again and again keeps the resident memory and the Python heap flat.
# TARVELO_LEAK_CYCLES sets the cycles (default 1000; `make leaks` runs 10000): a fifth warms the
# allocators up, then the resident memory and the Python heap are each watched over two fifths.

import gc
import os
import tracemalloc
from pathlib import Path

from conftest import PHASE_VOLTAGES, build_feeder, carray

from tarvelo import cy_engine as ce

CYCLES = int(os.environ.get("TARVELO_LEAK_CYCLES", "1000"))


def cycle():
    net = build_feeder()
    solver = ce.CyNewton(net.network(), True)
    net.loads[0][0].update_powers(carray(1.2 * net.loads[0][2]))
    net.source.update_voltages(carray(1.02 * PHASE_VOLTAGES))
    assert solver.solve_load_flow(30, 1e-8)[1] <= 1e-8
    sweep = ce.CyBackwardForward(net.network())  # takes the links over; the Newton solver goes
    del solver
    sweep.solve_load_flow(30, 1e-8)


def test_build_solve_update_and_drop_keep_memory_flat():
    # AddressSanitizer holds freed memory back on purpose; LeakSanitizer judges at exit.
    sanitized = "libasan" in Path("/proc/self/maps").read_text()
    warm, watched = (20, 0) if sanitized else (max(CYCLES // 5, 50), max(CYCLES * 2 // 5, 10))
    resident = []
    for k in range(-warm, watched + 1):
        cycle()
        if k >= 0 and k % max(watched // 10, 1) == 0:
            gc.collect()  # the feeder's mirror holds a cycle: it goes with a full collection
            resident.append(int(Path("/proc/self/statm").read_text().split()[1]))
    tracemalloc.start()  # after the resident memory: tracing has tables of its own
    gc.collect()
    for _ in range(watched):
        cycle()
    gc.collect()
    python_growth = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    # Fragments of the arenas come and go by a page run or two: compare the lowest of the first
    # few samples with the lowest of the last few. One Python object, element, node, array or
    # tape lost a cycle would exceed these.
    resident_growth = (min(resident[-3:]) - min(resident[:3])) * os.sysconf("SC_PAGE_SIZE")
    assert python_growth < 16 * 1024 + 4 * watched
    assert resident_growth < 2**20 + 64 * watched
