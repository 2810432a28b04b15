"""The ratio table of a benchmark run as a PNG bar chart (matplotlib)."""
import json
import sys

try:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:
    print("matplotlib not installed: no chart")
    sys.exit(0)

results = json.load(open(sys.argv[1]))
labels = [r[0] for r in results["ratios"]]
values = [r[1] for r in results["ratios"]]
goals = [r[2] for r in results["ratios"]]
fig, ax = plt.subplots(figsize=(9, 0.4 * len(labels) + 1.5))
bars = ax.barh(labels, values, color=["tab:green" if g is None or v <= g else "tab:red"
                                      for v, g in zip(values, goals)])
for i, g in enumerate(goals):
    if g is not None:
        ax.plot([g, g], [i - 0.4, i + 0.4], color="black", linewidth=2)
ax.bar_label(bars, fmt="%.2f", padding=3)
ax.axvline(1.0, color="grey", linestyle=":")
ax.invert_yaxis()
ax.set_xlabel("ratio (black marks: goal)")
ax.set_title("c_sdk hot paths, Python " + results["python"].split()[0])
fig.tight_layout()
fig.savefig(sys.argv[2], dpi=110)
print("chart:", sys.argv[2])
