"""Draws a training log (JSON lines of `train`) as a loss curve PNG.

    python -m pinnet_tools.train.plot build/train/demo-gen3.log.jsonl docs/demo-gen3-loss.png

Needs matplotlib (not a dependency of anything else here).
"""
from __future__ import annotations

import json
import sys


def main(argv=None) -> int:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    log, png = (argv if argv is not None else sys.argv[1:])[:2]
    recs = [json.loads(line) for line in open(log, encoding="utf-8") if line.strip()]
    fig, ax = plt.subplots(figsize=(7, 4), dpi=100)
    depths = sorted({k for r in recs for k in r["loss_by_depth"]}, key=int)
    for k in depths:
        pts = [(r["step"], r["loss_by_depth"][k]) for r in recs if k in r["loss_by_depth"]]
        ax.plot([p[0] for p in pts], [p[1] for p in pts], label=f"{k} blocks", linewidth=1)
    ax.set_yscale("log")
    ax.set_xlabel("step (4096 padded tokens each)")
    ax.set_ylabel("completion loss (nats per token)")
    minutes = recs[-1]["elapsed_s"] / 60 if recs else 0
    ax.set_title(f"demo model training, {minutes:.0f} min on 2 CPU cores")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(png)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
