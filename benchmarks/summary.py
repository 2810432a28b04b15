"""The goal rows of several benchmark runs side by side: one line per
interpreter and goal, with the value and whether it meets the goal, then the
callgrind counts.  Reads the results.json files scripts/bench.sh writes."""
import json
import sys


def main(paths):
    runs = []
    for p in paths:
        with open(p) as fh:
            runs.append(json.load(fh))
    print("summary: ratios of medians within each run (goal met: pass)\n")
    print(f"  {'interpreter':10} {'version':8} {'load':>5}  {'row':42} {'value':>6}  {'goal':>7}")
    misses = 0
    for run in runs:
        for label, value, goal in run["ratios"]:
            if goal is None:
                continue
            ok = value <= goal
            misses += not ok
            print(f"  {run['name']:10} {run['python']:8} {run.get('load', 0):5.2f}  {label:42} {value:6.2f}  "
                  f"{'<= ' + str(goal):>7}  {'pass' if ok else 'MISS'}")
    counted = [r for r in runs if r.get("callgrind")]
    if counted:
        paths = list(counted[0]["callgrind"])
        print("\n  callgrind, instructions per call")
        print(f"  {'path':18}" + "".join(f"{r['name']:>12}" for r in counted))
        for path in paths:
            print(f"  {path:18}" + "".join(f"{r['callgrind'].get(path, 0):12d}" for r in counted))
    print(f"\n{misses} goal row(s) missed")


if __name__ == "__main__":
    main(sys.argv[1:])
