#!/usr/bin/env python3
"""ab.py - our library against libvncclient and the limits, in interleaved pairs.

  ab.py --lab DIR LIB.so [--lib2 OLD.so] [--pairs 11] [--only a,b] [--limits] [--port 5951]

DIR holds the lab's tools (the build's bench/lab) and DIR/recordings the sessions that
bench/lab/record.sh made. Each pair runs every side once on one burst replay server: libvncclient
(peer_bench), our library through the dlopen harness (and, with --lib2, a second build of it), and
with --limits the null client (reads and discards: the transport floor), zlib's and ISA-L's inflate
of the same ZRLE payloads alone, and memcpy of every updated pixel; the order alternates pair by
pair, so the drift of a busy machine hits every side alike. The figures are medians of the per-pair
ratios, with their spread (min..max). Every run's picture is checked: against the X screen's
checksum, or on a lossy recording (Tight with JPEG) against the warm-up runs: each side repeats its
own checksum, and ours equals libvncclient's or lies within LOSSY_TOL per B/G/R byte of it."""
import argparse, json, os, statistics, subprocess, sys

ENC_STRING = {16: "zrle", 7: "tight", 5: "hextile", 2: "rre", 1: "copyrect", 0: "raw"}
# Two JPEG decoders' rounding may differ by this much per byte.
LOSSY_TOL = 2
ALL = "zrle-1080p,zrle-2160p,zrleonly-1080p,hextile-1080p,raw-1080p,tight-1080p,tightjpeg-1080p"


def peer_args(encodings):
    """libvncclient's encodings and, for Tight, the compress and JPEG quality levels it adds itself."""
    args = ["--encodings", " ".join(ENC_STRING[e] for e in encodings if e in ENC_STRING)]
    if 7 in encodings:
        comp = [e + 256 for e in encodings if -256 <= e <= -247]
        qual = [e + 32 for e in encodings if -32 <= e <= -23]
        args += ["--compress", str(comp[0] if comp else -1), "--quality", str(qual[0] if qual else -1)]
    return args


def fb_diff(path_a, path_b):
    """(pixels that differ, largest difference of one B/G/R byte) between two B,G,R,X dumps."""
    a, b = open(path_a, "rb").read(), open(path_b, "rb").read()
    if len(a) != len(b):
        return None, None
    npx, worst, step = 0, 0, 1 << 20
    for off in range(0, len(a), step):
        pa, pb = a[off:off + step], b[off:off + step]
        if pa == pb:
            continue
        for i in range(0, len(pa), 4):
            if pa[i:i + 3] != pb[i:i + 3]:
                npx += 1
                worst = max(worst, *(abs(pa[i + c] - pb[i + c]) for c in range(3)))
    return npx, worst


def run_json(cmd, timeout=300):
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    out = r.stdout.decode().strip().splitlines()
    if not out:
        raise RuntimeError("%s: no output (rc %d): %s" % (cmd[0], r.returncode, r.stderr.decode()[-500:]))
    return json.loads(out[-1])


class Server:
    """The replay server for one recording, serving any number of connections."""

    def __init__(self, tool, rec, port):
        self.p = subprocess.Popen([tool, "--file", rec, "--port", str(port), "--mode", "burst",
                                   "--conns", "0", "--quiet", "--linger-ms", "10000"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line = self.p.stdout.readline().decode()
        if not line.startswith("READY"):
            raise RuntimeError("replay_server did not start: %s %s" % (line, self.p.stderr.read().decode()))

    def stop(self):
        if self.p.poll() is None:
            self.p.terminate()
            try:
                self.p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.p.kill()
                self.p.wait()


def spread(xs):
    return (statistics.median(xs), min(xs), max(xs))


def fmt(v):
    return "%.2f (%.2f–%.2f)" % v if v else "—"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("lib")
    ap.add_argument("--lab", required=True, help="the build's bench/lab directory")
    ap.add_argument("--lib2", help="a second build of the library, e.g. before a change")
    ap.add_argument("--pairs", type=int, default=11)
    ap.add_argument("--only", default=ALL)
    ap.add_argument("--port", type=int, default=5951)
    ap.add_argument("--limits", action="store_true")
    ap.add_argument("--json", help="also write every line of the table here")
    a = ap.parse_args()
    tool = lambda n: os.path.join(a.lab, n)
    rdir = os.path.join(a.lab, "recordings")
    fbdir = os.path.join(a.lab, "fb")
    os.makedirs(fbdir, exist_ok=True)
    harness = lambda lib: [tool("harness"), "--lib", os.path.abspath(lib), "--port", str(a.port), "--timeout-s", "120"]
    summary = []
    for name in a.only.split(","):
        rec = os.path.join(rdir, name + ".rfbrec")
        if not os.path.exists(rec):
            print("%s: not recorded (bench/lab/record.sh)" % name, file=sys.stderr)
            continue
        meta = json.load(open(os.path.join(rdir, name + ".json")))
        lossy = meta.get("lossy", False)
        cmds = {"peer": [tool("peer_bench"), "--port", str(a.port)] + peer_args(meta["encodings"]),
                "ours": harness(a.lib)}
        if a.lib2:
            cmds["old"] = harness(a.lib2)
        if a.limits:
            cmds["null"] = [tool("null_client"), "--port", str(a.port)]
            if "zrle" in meta["rects_by_encoding"]:
                cmds["zlib"] = [tool("inflate_limit"), "--file", rec, "--runs", "1"]
                if os.path.exists(tool("inflate_limit_isal")):
                    cmds["isal"] = [tool("inflate_limit_isal"), "--file", rec, "--runs", "1"]
            cmds["memcpy"] = [tool("memcpy_limit"), "--pixels", str(meta["total_pixels"]),
                              "--width", str(meta["width"]), "--height", str(meta["height"]), "--runs", "1"]
        pictures = [k for k in ("peer", "ours", "old") if k in cmds]
        srv = Server(tool("replay_server"), rec, a.port)
        res = {k: [] for k in cmds}
        bad, ref, note = 0, {}, []
        try:
            for k in cmds:  # warm-up; on a lossy recording with dumps, for the reference checksums
                dump = ["--dump", os.path.join(fbdir, "%s.%s.raw" % (name, k))] if lossy and k in pictures else []
                ref[k] = run_json(cmds[k] + dump).get("fnv")
            if lossy:
                for k in pictures[1:]:
                    if ref[k] == ref["peer"]:
                        note.append("%s equals the peer" % k)
                        continue
                    npx, worst = fb_diff(os.path.join(fbdir, "%s.peer.raw" % name),
                                         os.path.join(fbdir, "%s.%s.raw" % (name, k)))
                    ok = worst is not None and worst <= LOSSY_TOL
                    note.append("%s: %s px differ from the peer's, by at most %s" % (k, npx, worst))
                    if not ok:
                        ref[k] = None  # every run of this side counts as bad
            order = list(cmds)
            for i in range(a.pairs):
                for k in (order if i % 2 == 0 else order[::-1]):
                    d = run_json(cmds[k])
                    if "median_s" in d:  # a limit that times itself
                        d["wall_s"] = d["cpu_s"] = d["median_s"]
                    if not d.get("ok", False):
                        bad += 1
                    elif k in pictures and d.get("fnv") != (ref[k] if lossy else meta["expected_fnv"]):
                        bad += 1
                    res[k].append(d)
        finally:
            srv.stop()
        ratio = lambda x, y, f="wall_s": spread([p[f] / q[f] for p, q in zip(res[x], res[y])])
        line = {"name": name, "pairs": a.pairs, "bad": bad, "note": "; ".join(note)}
        for k in ("ours", "old"):
            if k in res:
                line[k + "/peer wall"] = ratio(k, "peer")
                line[k + "/peer cpu"] = ratio(k, "peer", "cpu_s")
                for lim in ("null", "isal", "zlib", "memcpy"):
                    if lim in res:
                        line["%s/%s wall" % (k, lim)] = ratio(k, lim)
        if "old" in res:
            line["ours/old wall"] = ratio("ours", "old")
            line["ours/old cpu"] = ratio("ours", "old", "cpu_s")
        if "null" in res:
            line["peer/null wall"] = ratio("peer", "null")
        for k in cmds:
            line[k + " ms"] = (statistics.median(d["wall_s"] for d in res[k]) * 1e3,
                               statistics.median(d["cpu_s"] for d in res[k]) * 1e3)
        summary.append(line)
        print(name + ": " + "; ".join("%s %s" % (k, fmt(v) if isinstance(v, tuple) and len(v) == 3 else
                                                  ("%.1f/%.1f" % v if isinstance(v, tuple) else v))
                                      for k, v in line.items() if k != "name"), file=sys.stderr, flush=True)
    cols = ["ours/peer wall", "ours/peer cpu", "ours/null wall", "ours/isal wall", "ours/zlib wall", "ours/memcpy wall"]
    if a.lib2:
        cols += ["ours/old wall", "ours/old cpu"]
    cols = [c for c in cols if any(c in l for l in summary)]
    print("| recording | " + " | ".join(cols) + " | ours ms wall/cpu | peer ms wall/cpu | bad |")
    print("|---" * (len(cols) + 4) + "|")
    for l in summary:
        print("| %s | %s | %.0f/%.0f | %.0f/%.0f | %d |" % (l["name"], " | ".join(fmt(l.get(c)) for c in cols),
                                                            *l["ours ms"], *l["peer ms"], l["bad"]))
    print("\nmedian of %d interleaved pairs per recording (min–max of the per-pair ratios); limits: null = reads "
          "and discards, isal/zlib = inflate of the ZRLE payloads alone, memcpy = every updated pixel copied once"
          % a.pairs)
    for l in summary:
        if l["note"]:
            print("%s: %s" % (l["name"], l["note"]))
    if a.json:
        with open(a.json, "w") as f:
            json.dump(summary, f, indent=1)
    return 1 if any(l["bad"] for l in summary) else 0


if __name__ == "__main__":
    sys.exit(main())
