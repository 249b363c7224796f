"""Renders the benchmark's results (the dict that bench/run.py fills) as Markdown."""

from __future__ import annotations


def _ms(seconds) -> str:
    return "-" if seconds is None else f"{seconds * 1e3:,.1f}"


def report(results) -> str:
    out = []
    if "phases" in results:
        out += [
            "### Engine phases (processor time, median)",
            "",
            "| objects | scene | add ms | solve ms | layout ms | engine bytes/label "
            "| peak RSS MiB |",
            "|---:|---|---:|---:|---:|---:|---:|",
        ]
        for r in results["phases"]:
            out.append(
                f"| {r['n']:,} | {r['kind']} | {_ms(r['add'])} | {_ms(r['solve'])} "
                f"| {_ms(r['layout'])} | {r['engine_bytes'] / r['n']:,.0f} "
                f"| {r['peak_rss_bytes'] / 2**20:,.0f} |"
            )
        out.append("")
    if "addbound" in results:
        r = results["addbound"]
        out += [
            "### add against bare measuring calls",
            "",
            f"{r['n']:,} labels, {r['calls']:,} measuring calls: add {_ms(r['add'])} ms, "
            f"bare calls {_ms(r['bare'])} ms, **ratio {r['ratio']:.2f}**",
            "",
        ]
    if "scaling" in results:
        out += [
            "### solve per phase at constant density",
            "",
            "| scene | N | initial pass ms | one improvement pass ms | whole solve ms |",
            "|---|---:|---:|---:|---:|",
        ]
        rows = results["scaling"]
        for r in rows:
            out.append(
                f"| {r['kind']} | {r['n']:,} | {_ms(r['initial'])} | {_ms(r['improvement'])} "
                f"| {_ms(r.get('whole'))} |"
            )
        out += [
            "",
            "| scene | ratio 10N/N | initial | improvement | whole |",
            "|---|---|---:|---:|---:|",
        ]
        for small, large in zip(rows[::2], rows[1::2]):
            ratio = {
                k: large[k] / small[k] if small.get(k) else float("nan")
                for k in ("initial", "improvement", "whole")
            }
            out.append(
                f"| {small['kind']} | {large['n']:,} / {small['n']:,} | {ratio['initial']:.1f} "
                f"| {ratio['improvement']:.1f} | {ratio['whole']:.1f} |"
            )
        out.append("")
    if "baseline" in results:
        base = results["baseline"]
        out += [
            f"### Whole solve against {base['commit']} (processor time, median)",
            "",
            "| objects | scene | rounds | current ms | baseline ms | speed-up | same layout |",
            "|---:|---|---:|---:|---:|---:|---|",
        ]
        for r in base["rows"]:
            out.append(
                f"| {r['n']:,} | {r['kind']} | {r['rounds']} | {_ms(r['current'])} "
                f"| {_ms(r['baseline'])} | {r['speedup']:.2f} | {r['same_layout']} |"
            )
        out.append("")
    if "native" in results:
        out += _native(results["native"])
    if "ab" in results:
        out += _ab(results["ab"], results.get("ab_callgrind"))
    if "abmodule" in results:
        out += _abmodule(results["abmodule"])
    if "callgrind" in results:
        c = results["callgrind"]
        line = f"solve of {c['n']:,} {c['kind']} labels: {c['current']:,} instructions"
        if "baseline" in c:
            line += (
                f" (baseline {c['commit']}: {c['baseline']:,}, "
                f"{c['baseline'] / c['current']:.2f} times as many)"
            )
        out += ["### Instructions (callgrind)", "", line, ""]
    if "peers" in results:
        out += [
            "### Labelled matplotlib scatter (wall time, end to end)",
            "",
            "| scene | labels | method | seconds | of which final draw | label-label "
            "overlaps | label-object overlaps | unplaced | off canvas |",
            "|---|---:|---|---:|---:|---:|---:|---:|---:|",
        ]
        for r in results["peers"]:
            if r["seconds"] is None:
                out.append(f"| {r['kind']} | {r['n']:,} | {r['method']} | timeout | | | | | |")
                continue
            out.append(
                f"| {r['kind']} | {r['n']:,} | {r['method']} | {r['seconds']:.3f} "
                f"| {r['draw_seconds']:.3f} | {r['label_label']} | {r['label_object']} "
                f"| {r['unplaced']} | {r['off_canvas']} |"
            )
        out.append("")
        for kind in ("uniform", "clustered"):
            by = {
                (r["method"], r["n"]): r["seconds"]
                for r in results["peers"]
                if r["kind"] == kind and r["seconds"]
            }
            for (method, n), seconds in sorted(by.items()):
                if method != "quillset" and ("quillset", n) in by:
                    out.append(
                        f"- {kind}, {n:,} labels: quillset is {seconds / by[('quillset', n)]:,.0f}"
                        f" times as fast as {method}"
                    )
        out.append("")
    return "\n".join(out)


def _change(new: float, old: float) -> str:
    return f"{(new / old - 1) * 100:+.1f} %"


def _native(native) -> list[str]:
    commit = native["commit"]
    out = [
        f"### Native driver against {commit} (processor time, median; interleaved)",
        "",
        "| objects | scene | phase | current ms | baseline ms | change |",
        "|---:|---|---|---:|---:|---:|",
    ]
    names = {"add_ms": "add", "initial_ms": "initial pass", "pass_ms": "one improvement pass"}
    names["solve_ms"] = "whole solve"
    for r in native["rows"]:
        for key, name in names.items():
            cur, old = r["current"][key], r[commit][key]
            out.append(
                f"| {r['n']:,} | {r['kind']} | {name} | {cur:,.1f} | {old:,.1f} "
                f"| {_change(cur, old)} |"
            )
        out.append(
            f"| {r['n']:,} | {r['kind']} | same layout | {r['same_layout']} "
            f"| {', '.join(r['current']['hashes'])} | |"
        )
    return [*out, ""]


def _ab(ab, callgrind) -> list[str]:
    out = [
        f"### One trick at a time: {ab['commit']} with one patch against {ab['commit']}",
        "",
        "Change of each phase when the patch removes the trick (positive: slower without).",
        "",
        "| patch | objects | scene | rounds | add | initial pass | one improvement pass |",
        "|---|---:|---|---:|---:|---:|---:|",
    ]
    for r in ab["rows"]:
        changes = " | ".join(
            _change(r[k], r["base"][k]) for k in ("add_ms", "initial_ms", "pass_ms")
        )
        out.append(f"| {r['variant']} | {r['n']:,} | {r['kind']} | {r['rounds']} | {changes} |")
    if callgrind:
        base = callgrind["counts"]["base"]
        out += ["", f"Instructions in solve at {callgrind['n']:,} labels (callgrind):", ""]
        for name, count in callgrind["counts"].items():
            out.append(f"- {name}: {count:,} ({_change(count, base)})")
    return [*out, ""]


def _abmodule(ab) -> list[str]:
    out = [
        f"### Whole solve through the module: current, {ab['commit']} and patched",
        "",
        "| variant | objects | scene | rounds | solve ms (median) | against base | layout |",
        "|---|---:|---|---:|---:|---:|---|",
    ]
    base = {(r["n"], r["kind"]): r for r in ab["rows"] if r["variant"] == "base"}
    for r in ab["rows"]:
        b = base[(r["n"], r["kind"])]
        same = "same" if r["hashes"] == b["hashes"] else "DIFFERENT"
        out.append(
            f"| {r['variant']} | {r['n']:,} | {r['kind']} | {r['rounds']} "
            f"| {r['median'] * 1e3:,.1f} | {_change(r['median'], b['median'])} | {same} |"
        )
    return [*out, ""]
