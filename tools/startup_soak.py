#!/usr/bin/python3
"""Start-up soak: starts the real editor under Xvfb many times and logs what each start-up did.

    tools/startup_soak.py [--runs N] [--kinds valid,sync,dsn] [--stress] [--stall N:MS]
                          [--server HOST] [--log DIR]

Kinds: `valid` (a schema that matches the data: the Edit Mode window, no box), `sync` (the schema
lacks a collection the data has: the synchronisation offer, Yes, the window) and `dsn` (a data
source whose schema does not exist yet: the creation offer, Yes, the window). Each run's boxes,
seconds until the window, exit status and the editor's output go to DIR/runs.jsonl and
DIR/NNNN-KIND.{out,err}. A box is told by its pixels: one run of each kind against the server
itself shows the offer expected, and every box that looks otherwise is kept as DIR/box-HASH.png
(the verdict names the HASH). The counts are printed at the end. --stress keeps both cores busy
with stress-ng for the whole soak. --stall plays a busy server: the editor talks to it through
tools/latency_proxy.py on --proxy (127.0.0.61), which holds one in N requests after the handshake
(at random) MS milliseconds, as FerretDB holds requests behind one that waits for its SQLite lock.
Run by hand in a network namespace of your own with the test servers started (tools/servers.sh
start); it takes 1-3 s a start-up and its set-up.
"""
import argparse
import hashlib
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(top, "tests", "e2e"))
import e2e_lib as e2e  # noqa: E402  (the same Xvfb and Exit click as the end-to-end tests)
import pymongo  # noqa: E402

TITLE = e2e.TITLE
EDIT = TITLE + " (Edit Mode)"
E2E_LIMIT = e2e.WAIT  # what tests/e2e waits for a window
PROXY = "127.0.0.61"


def fill_data(db):
    db["orders"].insert_many([{"n": i, "total": i * 1.5, "customer": {"name": f"c{i}", "city": "Leeds"},
                               "lines": [{"sku": f"s{j}", "qty": j} for j in range(3)]} for i in range(30)])
    db["customers"].insert_many([{"name": f"c{i}", "since": i, "tags": ["a", "b"]} for i in range(20)])
    db["customers"].create_index("name", unique=True)
    db["stock"].insert_many([{"sku": f"s{i}", "count": i} for i in range(5)])


class Soak:
    def __init__(self, args):
        self.args = args
        self.client = pymongo.MongoClient(args.server, 27017, serverSelectionTimeoutMS=10000)
        self.ini_dir = tempfile.mkdtemp(prefix="soak-odbc-")
        self.tag = f"soak{os.getpid()}"
        self.valid = self.tag + "_valid"
        os.makedirs(args.log, exist_ok=True)
        self.records = open(os.path.join(args.log, "runs.jsonl"), "w")
        self.offers = {}  # kind: the image hash of its offer
        self.proxy = None
        self.editor_server = args.server
        if args.stall:
            every, ms = args.stall.split(":")
            self.proxy = subprocess.Popen([sys.executable, os.path.join(top, "tools", "latency_proxy.py"),
                                           "--listen", args.proxy, "--target", args.server, "--stall-every", every,
                                           "--stall-ms", ms, "--idle-seconds", "86400", "--max-seconds", "86400"],
                                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            if not self.proxy.stdout.readline().startswith("ready"):
                raise RuntimeError("latency_proxy.py did not start")
            self.editor_server = args.proxy
        self.display = e2e.Display()

    def cli(self, *args):
        done = subprocess.run([self.args.cli, *args], capture_output=True, text=True, stdin=subprocess.DEVNULL,
                              timeout=300)
        if done.returncode != 0:
            raise RuntimeError(f"brolix-cli {' '.join(args)}: {done.returncode}\n{done.stderr}")

    def line(self, data, schema, server=None):
        server = server or self.args.server
        return ["-ds", server, "-db", data, "-ss", server, "-sc", schema]

    def stalls(self):
        """The requests the proxy held since the last call."""
        if not self.proxy:
            return 0
        self.proxy.stdin.write("counts\nreset\n")
        self.proxy.stdin.flush()
        return json.loads(self.proxy.stdout.readline().split(" ", 1)[1]).get("(stalled)", 0)

    def prepare(self, kind, number, server):
        """The editor's arguments and environment, and the data and schema databases of the run."""
        if kind == "valid":
            if self.valid + "_schema" not in self.client.list_database_names():
                fill_data(self.client[self.valid])
                self.cli("create", "--quiet", *self.line(self.valid, self.valid + "_schema"))
            return self.line(self.valid, self.valid + "_schema", server), {}, None, None
        data = f"{self.tag}_{kind}{number}"
        fill_data(self.client[data])
        if kind == "sync":
            self.cli("create", "--quiet", *self.line(data, data + "_schema"))
            self.client[data]["added"].insert_one({"late": True})
            return self.line(data, data + "_schema", server), {}, data, data + "_schema"
        # One schema name for every run: the offer names it, and its pixels stay the same.
        schema = self.tag + "_new_schema"
        with open(os.path.join(self.ini_dir, "odbc.ini"), "w") as ini:
            ini.write(f"[soak]\nDriver = /usr/lib/x86_64-linux-gnu/libbrol.so\nServer = {server}\n"
                      f"Database = {data}\nUser =\nPassword =\nMD_Server = {server}\n"
                      f"MD_Database = {schema}\nMD_User =\nMD_Password =\nSSL = No\nDefaultW = No\n"
                      "Preview = 100\n")
        env = {"ODBCINI": os.path.join(self.ini_dir, "odbc.ini"), "ODBCSYSINI": self.ini_dir}
        return ["-dsn", "soak"], env, data, schema

    def windows(self):
        found = {}
        for window in self.display.windows("^" + TITLE):
            name = self.display.xdotool("getwindowname", window)
            if name.startswith(TITLE):
                found[window] = name
        return found

    def learn_offers(self, kinds):
        """The offer of each kind as the editor shows it against the server itself."""
        for kind in kinds:
            if kind != "valid":
                record = self.run(kind, 9999, server=self.args.server, write=False)
                if record["verdict"] != "ok" or len(record["boxes"]) != 1:
                    raise RuntimeError(f"the reference run of {kind} went wrong: {record}")
                self.offers[kind] = record["boxes"][0]["image"]

    def run(self, kind, number, server=None, write=True):
        args, env, data, schema = self.prepare(kind, number, server or self.editor_server)
        base = os.path.join(self.args.log, f"{number:04d}-{kind}")
        record = {"run": number, "kind": kind, "boxes": [], "window": None, "title": None, "exit": None,
                  "harness": [], "load": os.getloadavg()[0]}
        with open(base + ".out", "w") as out, open(base + ".err", "w") as err:
            start = time.monotonic()
            editor = subprocess.Popen([self.args.bin, *args], env=dict(self.display.env, **env), stdout=out,
                                      stderr=err, stdin=subprocess.DEVNULL)
            seen = set()
            try:
                while editor.poll() is None and time.monotonic() - start < self.args.limit:
                    for window, name in self.windows().items():
                        if window in seen:
                            continue
                        seen.add(window)
                        at = round(time.monotonic() - start, 2)
                        if name == TITLE:
                            self.answer(window, kind, record, at)
                        elif record["window"] is None:
                            record["window"], record["title"] = at, name
                            self.close(window, editor, record)
                    time.sleep(0.1)
                if editor.poll() is None:
                    record["harness"].append(f"still running after {self.args.limit} s: killed")
                    editor.kill()
                record["exit"] = editor.wait()
            finally:
                if editor.poll() is None:
                    editor.kill()
                    editor.wait()
        record["seconds"] = round(time.monotonic() - start, 2)
        record["stalls"] = self.stalls()
        if record["stalls"]:
            # A request the editor gave up on still reaches the server when its stall ends:
            # the next run must not meet what it writes.
            time.sleep(int(self.args.stall.split(":")[1]) / 1000 + 1)
        if data:
            record["schema_tables"] = sorted(t["sql_table"] for t in self.client[schema]["tables"].find())
            self.client.drop_database(data)
            self.client.drop_database(schema)
        record["verdict"] = self.verdict(kind, record)
        if write:
            self.records.write(json.dumps(record) + "\n")
            self.records.flush()
        return record

    def box_image(self, box):
        """A hash of the box's texts (its pixels above the buttons, which focus and pointer change)
        once they stop changing: its first paint done."""
        g = dict(line.split("=") for line in self.display.xdotool("getwindowgeometry", "--shell", box).split())
        crop = f"{g.get('WIDTH', 0)}x{max(int(g.get('HEIGHT', 0)) - 50, 1)}+0+0"
        last = None
        for _ in range(50):
            pixels = subprocess.run(["import", "-display", self.display.env["DISPLAY"], "-window", box, "-crop",
                                     crop, "-depth", "8", "rgb:-"], capture_output=True).stdout
            if pixels and pixels == last and pixels.count(pixels[:3]) * 3 != len(pixels):
                break
            last = pixels
            time.sleep(0.1)
        image = hashlib.sha1(pixels).hexdigest()[:10]
        path = os.path.join(self.args.log, f"box-{image}.png")
        if not os.path.exists(path):
            subprocess.run(["import", "-display", self.display.env["DISPLAY"], "-window", box, path],
                           capture_output=True)
        return image

    def answer(self, box, kind, record, at):
        image = self.box_image(box)
        expected = kind != "valid" and not record["boxes"] and self.offers.get(kind, image) == image
        record["boxes"].append({"at": at, "image": image, "expected": expected})
        # Return answers the default: Yes to an offer, Ok to anything else.
        self.display.xdotool("windowfocus", "--sync", box)
        self.display.xdotool("key", "Return")
        for _ in range(50):
            time.sleep(0.1)
            if box not in self.display.windows("."):
                return
        record["harness"].append(f"box at {at} s stayed after Return")
        self.display.xdotool("windowfocus", "--sync", box)
        self.display.xdotool("key", "Return")

    def close(self, window, editor, record):
        time.sleep(0.3)
        try:
            self.display.click_exit(window)
        except (Exception, SystemExit) as error:  # the harness gives up on a window never painted
            record["harness"].append(f"Exit click failed: {error!r}")
        try:
            editor.wait(15)
        except subprocess.TimeoutExpired:
            record["harness"].append("Exit click did not end the editor")
            editor.terminate()

    @staticmethod
    def verdict(kind, record):
        others = " ".join("box-" + b["image"] for b in record["boxes"] if not b["expected"])
        if record["title"] is None:
            return f"{others or 'offer'}, no window"
        if record["title"] != EDIT:
            return "window " + record["title"][len(TITLE):].strip() + (", " + others if others else "")
        if others or len(record["boxes"]) != (0 if kind == "valid" else 1):
            return f"{others or 'no offer'}, then the window"
        if kind != "valid" and record["schema_tables"] != sorted(
                ["orders", "customers", "stock"] + (["added"] if kind == "sync" else [])):
            return "schema " + ",".join(record["schema_tables"])
        if record["window"] > E2E_LIMIT:
            return f"window after more than {E2E_LIMIT} s"
        return "ok"

    def close_all(self):
        self.records.close()
        shutil.rmtree(self.ini_dir, ignore_errors=True)
        self.client.drop_database(self.valid)
        self.client.drop_database(self.valid + "_schema")
        self.display.process.terminate()
        self.display.process.wait(5)
        if self.proxy:
            self.proxy.stdin.close()
            self.proxy.wait(10)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=200, help="start-ups of each kind")
    parser.add_argument("--kinds", default="valid,sync,dsn")
    parser.add_argument("--stress", action="store_true", help="stress-ng --cpu 2 during the soak")
    parser.add_argument("--stall", help="N:MS, a busy server: one in N requests held MS ms")
    parser.add_argument("--proxy", default=PROXY, help="loopback address of the busy server's proxy")
    parser.add_argument("--server", default="127.0.0.11")
    parser.add_argument("--limit", type=float, default=120, help="seconds a start-up may take")
    parser.add_argument("--log", default=os.path.join(top, "build", "soak"))
    parser.add_argument("--bin", default=os.path.join(top, "build", "brolix"))
    parser.add_argument("--cli", default=os.path.join(top, "build", "brolix-cli"))
    args = parser.parse_args()
    kinds = args.kinds.split(",")
    signal.signal(signal.SIGTERM, signal.default_int_handler)  # stress-ng, Xvfb and the proxy stop too

    results = {kind: [] for kind in kinds}
    loads = []
    stress = soak = None
    try:
        stress = subprocess.Popen(["stress-ng", "--cpu", "2", "--quiet"]) if args.stress else None
        soak = Soak(args)
        soak.learn_offers(kinds)
        for number in range(args.runs):
            for kind in kinds:
                record = soak.run(kind, number * len(kinds) + kinds.index(kind))
                results[kind].append(record)
                loads.append(record["load"])
                if record["verdict"] != "ok" or record["harness"]:
                    print(json.dumps(record), flush=True)
    finally:
        if stress:
            stress.terminate()
            stress.wait()
        if soak:
            soak.close_all()

    print(f"load average (1 min) during the soak: min {min(loads):.1f}, median {statistics.median(loads):.1f}, "
          f"max {max(loads):.1f}; stress-ng --cpu 2: {'yes' if args.stress else 'no'}; "
          f"stalls: {args.stall or 'none'}")
    for kind, records in results.items():
        verdicts = {}
        for r in records:
            verdicts[r["verdict"]] = verdicts.get(r["verdict"], 0) + 1
        times = sorted(r["window"] for r in records if r["window"] is not None)
        harness = sum(1 for r in records if r["harness"])
        stalled = sum(1 for r in records if r["stalls"])
        shown = ", ".join(f"{v}: {n}" for v, n in sorted(verdicts.items()))
        spread = (f"window after median {statistics.median(times):.2f} s, "
                  f"95% {times[max(0, -(-len(times) * 95 // 100) - 1)]:.2f} s, max {times[-1]:.2f} s"
                  if times else "no window")
        print(f"{kind:6} {len(records)} runs: {shown}; {spread}; stalled in {stalled}; harness trouble in {harness}")


if __name__ == "__main__":
    main()
