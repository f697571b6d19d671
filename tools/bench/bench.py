#!/usr/bin/python3
"""Prints the executable's size and run time against baselines.

  bench.py WINE_RUN PREFIX TOOL EMPTY FLOOR [PAIRS]

Size: the tool against an empty console program built with the same flags.
Time: wall time of one run under Wine, the tool doing a full repair against a
do-nothing program that imports the same libraries; runs alternate in pairs
and the median of the per-pair ratios is reported.
Walk: the same repair with 10,000 files in 100 folders inside Downloads, each
opened, judged and written by the walk, against the floor.
The prefix sees none of the host's files (wine-run.sh --isolated): the
programs are copied into its C:.
"""
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path


def kib(path):
    return os.path.getsize(path) / 1024


def main(wine_run, prefix, tool_path, empty_path, floor_path, pairs="25"):
    wine_run, prefix = os.path.abspath(wine_run), os.path.abspath(prefix)
    drive_c = Path(prefix, "drive_c")

    def wine(*command):
        return subprocess.run([wine_run, "--isolated", prefix, *command], capture_output=True, check=False)

    # A machine where every run of the tool performs the whole repair.
    wine("reg", "add", r"HKLM\SOFTWARE\Morvane Security\Dovrix\Kelto Agent", "/v", "Path", "/t", "REG_SZ",
         "/d", r"C:\Program Files (x86)", "/reg:32", "/f")
    Path(prefix, "drive_c/ProgramData/Morvane Security/Morvane Devices Agent/Downloads").mkdir(
        parents=True, exist_ok=True)
    (drive_c / "tools").mkdir(exist_ok=True)
    tool, empty, floor = ("C:\\tools\\" + shutil.copy(program, drive_c / "tools").split("/")[-1]
                          for program in (tool_path, empty_path, floor_path))

    size_ratio = kib(tool_path) / kib(empty_path)
    print(f"size: tool {kib(tool_path):.1f} KiB, empty program {kib(empty_path):.1f} KiB, "
          f"ratio {size_ratio:.2f} (budget: at most 32 KiB)")

    def timed(program):
        start = time.perf_counter()
        result = wine(program)
        elapsed = time.perf_counter() - start
        assert result.returncode == 0, result
        return elapsed

    timed(floor), timed(tool)  # warm the server and the file cache
    samples = [(timed(floor), timed(tool)) for _ in range(int(pairs))]
    floor_times, tool_times = zip(*samples)
    ratio = statistics.median(t / f for f, t in samples)
    print(f"time under Wine, median of {pairs} pairs: tool {statistics.median(tool_times) * 1000:.1f} ms, "
          f"do-nothing program {statistics.median(floor_times) * 1000:.1f} ms, "
          f"ratio {ratio:.2f} (target: at most 1.1)")

    # The walk inside Downloads: 100 folders of 100 files each.
    downloads = Path(prefix, "drive_c/ProgramData/Morvane Security/Morvane Devices Agent/Downloads")
    for folder in range(100):
        inside = downloads / f"folder{folder:03}"
        inside.mkdir(exist_ok=True)
        for file in range(100):
            (inside / f"file{file:03}.bin").write_bytes(b"")
    timed(tool)
    walks = [(timed(floor), timed(tool)) for _ in range(max(3, int(pairs) // 5))]
    walk_floor, walk_tool = (statistics.median(times) for times in zip(*walks))
    print(f"the walk inside 10,100 items under Wine, median of {len(walks)} pairs: tool {walk_tool * 1000:.0f} ms, "
          f"do-nothing program {walk_floor * 1000:.0f} ms, "
          f"so about {(walk_tool - statistics.median(tool_times)) * 1000 / 10100:.3f} ms per item")


if __name__ == "__main__":
    main(*sys.argv[1:])
