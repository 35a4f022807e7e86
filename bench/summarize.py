#!/usr/bin/env python3
"""Merges the benchmark outputs of one `make bench` run into one table and
one JSON document.

Inputs: Google Benchmark JSON (--micro), the end-to-end tool's JSON (--e2e,
--tgt for the tgt-engine comparison, --tgt-driver for the tgt driver alone,
--etcd for the etcd client, --cluster for cluster mode, --multipath for the multipath
guest), each optional. Output: the table on
standard output, the merged document in --out.
"""
import argparse
import json
import os
import platform
import sys
import time

UNIT_SCALE = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def load(path):
    if not path or not os.path.exists(path):
        return None
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError) as e:
        print("bench: cannot read %s: %s" % (path, e), file=sys.stderr)
        return None


def micro_figures(doc):
    """One figure per benchmark: the median of its repetitions (or its only
    run), real time per iteration, with the items rate when it has one."""
    if doc is None:
        return []
    runs = {}
    order = []
    for b in doc.get("benchmarks", []):
        name = b.get("run_name") or b.get("name")
        if name not in runs:
            order.append(name)
            runs[name] = {}
        if b.get("error_occurred"):
            runs[name]["error"] = b.get("error_message", "error")
        elif b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                runs[name]["median"] = b
        else:
            runs[name].setdefault("iterations", []).append(b)
    figures = []
    for name in order:
        r = runs[name]
        short = name.replace("/real_time", "")
        fig = {"name": "micro:" + short, "label": short, "unit": "", "value": None}
        if "error" in r:
            fig["note"] = r["error"]
            figures.append(fig)
            continue
        b = r.get("median") or (r.get("iterations") or [None])[-1]
        if b is None:
            continue
        unit = b.get("time_unit", "ns")
        fig["value"] = b["real_time"]
        fig["unit"] = unit + "/op"
        notes = []
        if "items_per_second" in b:
            notes.append("%.4g items/s" % b["items_per_second"])
        if "bytes_per_second" in b:
            notes.append("%.4g MB/s" % (b["bytes_per_second"] / 1e6))
        if b.get("cpu_time") is not None and b.get("real_time"):
            notes.append("cpu %.4g %s" % (b["cpu_time"], unit))
        if r.get("median") is not None:
            notes.append("median of repetitions")
        fig["note"] = ", ".join(notes)
        figures.append(fig)
    return figures


def skipped(f):
    """A figure left out for a reason that is no fault (a missing tool)."""
    return f.get("value") is None and str(f.get("note", "")).startswith("skipped")


def fmt_value(f):
    v = f.get("value")
    if v is None:
        if skipped(f):
            return "skipped"
        return "failed" if f.get("note") else "-"
    return "%.4g %s" % (v, f.get("unit", ""))


def verdict(f):
    if "met" not in f:
        return ""
    return "met" if f["met"] else "MISSED"


def print_section(title, figures):
    if not figures:
        return
    print()
    print(title)
    width = max(len(f.get("label", f["name"])) for f in figures)
    width = max(width, 20)
    for f in figures:
        label = f.get("label", f["name"])
        target = f.get("target_text", "")
        line = "  %-*s  %16s" % (width, label, fmt_value(f))
        if target:
            line += "  target %-32s %s" % (target, verdict(f))
        print(line.rstrip())
        note = f.get("note")
        if note:
            for part in note.split("\n"):
                print("  %-*s    %s" % (width, "", part))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--micro")
    ap.add_argument("--e2e")
    ap.add_argument("--tgt")
    ap.add_argument("--tgt-driver")
    ap.add_argument("--etcd")
    ap.add_argument("--cluster")
    ap.add_argument("--multipath")
    ap.add_argument("--rbd")
    ap.add_argument("--out", required=True)
    args = ap.parse_args()

    micro = micro_figures(load(args.micro))
    e2e_doc = load(args.e2e)
    tgt_doc = load(args.tgt)
    e2e = e2e_doc.get("figures", []) if e2e_doc else []
    tgt = tgt_doc.get("figures", []) if tgt_doc else []
    driver_doc = load(args.tgt_driver)
    driver = driver_doc.get("figures", []) if driver_doc else []
    etcd_doc = load(args.etcd)
    etcd = etcd_doc.get("figures", []) if etcd_doc else []
    cluster_doc = load(args.cluster)
    cluster = cluster_doc.get("figures", []) if cluster_doc else []
    multipath_doc = load(args.multipath)
    multipath = multipath_doc.get("figures", []) if multipath_doc else []
    rbd_doc = load(args.rbd)
    rbd = [{"name": "rbd_%s_%d" % (r["kind"].replace(" ", "_").lower(), r["clients"]),
            "label": "%s LUN create+delete cycles, %d client%s" % (r["kind"], r["clients"],
                                                                  "" if r["clients"] == 1 else "s"),
            "value": r["cycles_per_s"], "unit": "cycles/s",
            "note": "median %.0f ms, p99 %.0f ms, %d cycles, %d failures" % (r["median_ms"], r["p99_ms"], r["cycles"],
                                                                         r["failures"])}
           for r in (rbd_doc or {}).get("runs", [])]

    print("=" * 100)
    print("make bench: summary (%s, %s, %d CPUs)" % (platform.node(), time.strftime("%Y-%m-%d %H:%M:%S"),
                                                     os.cpu_count() or 0))
    print("=" * 100)
    print_section("Micro-benchmarks (Google Benchmark, real time per operation)", micro)
    overload = [f for f in e2e if f["name"].startswith("overload_")]
    print_section("End to end: wzscsid with the driver doubles, through the client protocol",
                  [f for f in e2e if f not in overload])
    print_section("Overload: one well-behaved client, and the daemon's memory, while others flood it", overload)
    print_section("End to end: the tgt engine (against tgt-admin; changes, replay and reconcile on tgtd)", tgt)
    print_section("The tgt driver alone: calls for 16 targets, ListOwned", driver)
    print_section("The etcd client against a private 3-member etcd cluster", etcd)
    print_section("Cluster mode: two gateways on tgtd and 3 etcd members, next to a local gateway "
                  "(the revocation after a half-open watch on a second rig, gateway A behind relays)", cluster)
    print_section("Multipath: a gateway kill seen by the Linux initiator in a QEMU guest", multipath)
    print_section("LUNs on Ceph RBD: through wzscsid next to file LUNs and the Ceph CLI", rbd)
    targets = [f for f in e2e + tgt + driver + etcd + cluster + multipath + rbd if "met" in f]
    failed = [f for f in micro + e2e + tgt + driver + etcd + cluster + multipath + rbd if f.get("value") is None and not skipped(f)]
    print()
    print("targets met: %d of %d; measurements that could not run: %d" %
          (sum(1 for f in targets if f["met"]), len(targets), len(failed)))

    doc = {
        "generated": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
        "host": platform.node(),
        "cpus": os.cpu_count(),
        "micro": micro,
        "e2e": e2e,
        "tgt": tgt,
        "tgt_driver": driver,
        "etcd": etcd,
        "cluster": cluster,
        "multipath": multipath,
        "rbd": rbd,
        "context": {"e2e": (e2e_doc or {}).get("context", {}), "tgt": (tgt_doc or {}).get("context", {}),
                    "tgt_driver": (driver_doc or {}).get("context", {}),
                    "etcd": (etcd_doc or {}).get("context", {}),
                    "cluster": (cluster_doc or {}).get("context", {}),
                    "multipath": (multipath_doc or {}).get("context", {}),
                    "micro": (load(args.micro) or {}).get("context", {})},
    }
    with open(args.out, "w") as f:
        json.dump(doc, f, indent=2)
        f.write("\n")
    print("written: %s" % args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
