# Long time series leave no memory behind: building, solving, updating, re-solving and dropping the
# shared feeder again and again keeps the Python heap and the resident memory of the process flat.
# TARVELO_LEAK_CYCLES sets the cycles (default 1000; `make leaks` runs 10000): a fifth warms the
# allocators up, then the resident memory and the Python heap are each watched over two fifths.

import gc
import os
import tracemalloc

import pytest
from conftest import PHASE_VOLTAGES, build_feeder, carray

from tarvelo import cy_engine as ce

CYCLES = int(os.environ.get("TARVELO_LEAK_CYCLES", "1000"))


def cycle():
    net = build_feeder()
    solver = ce.CyNewton(net.network(), True)
    assert solver.solve_load_flow(30, 1e-8)[1] <= 1e-8
    for load, _, powers in net.loads:
        load.update_powers(carray(1.2 * powers))
    net.source.update_voltages(carray(1.02 * PHASE_VOLTAGES))
    assert solver.solve_load_flow(30, 1e-8)[1] <= 1e-8
    with pytest.raises(ValueError):  # a refusal on the way
        net.source.update_voltages(carray([230]))
    # A sweep takes the links over; the Newton solver goes first.
    sweep = ce.CyBackwardForward(net.network())
    del solver
    sweep.solve_load_flow(30, 1e-8)


def resident_bytes():
    gc.collect()  # the feeder's mirror holds a cycle: it goes with the next full collection
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_build_solve_update_and_drop_keep_memory_flat():
    with open("/proc/self/maps") as maps:
        sanitized = "libasan" in maps.read()
    warm, watched = max(CYCLES // 5, 50), max(CYCLES * 2 // 5, 10)
    for _ in range(20 if sanitized else warm):
        cycle()
    if sanitized:  # it holds freed memory back on purpose; LeakSanitizer judges at exit
        return
    gc.collect()
    resident = [resident_bytes()]
    for k in range(watched):
        cycle()
        if (k + 1) % max(watched // 10, 1) == 0:
            resident.append(resident_bytes())
    tracemalloc.start()  # after the resident memory: tracing has tables of its own
    gc.collect()
    python_start = tracemalloc.get_traced_memory()[0]
    for _ in range(watched):
        cycle()
    gc.collect()
    python_growth = tracemalloc.get_traced_memory()[0] - python_start
    tracemalloc.stop()
    # Fragments of the arenas come and go by a page run or two: compare the lowest of the first
    # few samples with the lowest of the last few.
    resident_growth = min(resident[-3:]) - min(resident[:3])
    print(f"\n{warm} cycles to warm up; over {watched}: resident {resident[0] / 2**20:.1f} MiB "
          f"to {resident[-1] / 2**20:.1f} MiB, trend {resident_growth:+,d} B; over {watched} "
          f"more: Python heap {python_growth:+,d} B")
    # One Python object, element, node, array or tape lost a cycle would exceed these.
    assert python_growth < 16 * 1024 + 4 * watched
    assert resident_growth < 2**20 + 64 * watched
