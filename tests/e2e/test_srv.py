#!/usr/bin/python3
"""mongodb+srv:// as an Atlas cluster is reached. In a network namespace of the test's own, a
dnsmasq on loopback answers the SRV and TXT records of cluster.brolix.test (authSource=admin),
which point at a FerretDB with users over TLS on port 27018 (the certificates of
tools/servers.sh); brolix-cli creates and checks a schema there. Needs root for `ip netns`;
where no namespace can be made, the test says it skipped."""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import e2e_lib as e2e

NAME = f"brolix-srv-{os.getpid()}"
BUILD, SOURCE = os.environ["BROLIX_BUILD_DIR"], os.environ["BROLIX_SOURCE_DIR"]
TLS = BUILD + "/servers/tls"
CACHE = os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache")
FERRETDB = os.environ.get("FERRETDB") or os.path.join(os.environ.get("BROLIX_TOOLS_DIR") or CACHE + "/brolix",
                                                      "ferretdb-v1.24.2", "ferretdb")
ADDRESS, PORT, PASSWORD = "127.0.0.71", "27018", "Rt@:/%?#5"


def in_namespace(*args):
    return subprocess.Popen(["ip", "netns", "exec", NAME, *args], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def run(*args):
    done = subprocess.run(["ip", "netns", "exec", NAME, *args], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=120)
    return done.returncode, done.stdout + done.stderr


if shutil.which("dnsmasq") is None or subprocess.run(["ip", "netns", "add", NAME], capture_output=True).returncode:
    print("SKIPPED: no network namespace of the test's own can be made here (needs root and dnsmasq)")
    sys.exit(0)
e2e.check(os.path.exists(TLS + "/ca.pem"), "no certificates in " + TLS + " (tools/servers.sh start makes them)")
state, started = tempfile.mkdtemp(prefix="brolix-srv-"), []
os.makedirs(f"/etc/netns/{NAME}", exist_ok=True)
try:
    with open(f"/etc/netns/{NAME}/resolv.conf", "w") as resolv:
        resolv.write("nameserver 127.0.0.89\n")
    subprocess.run(["ip", "netns", "exec", NAME, "ip", "link", "set", "lo", "up"], check=True)
    started.append(in_namespace("dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts", "--user=root",
                                "--listen-address=127.0.0.89", "--bind-interfaces", "--port=53",
                                f"--srv-host=_mongodb._tcp.cluster.brolix.test,db.brolix.test,{PORT}",
                                "--txt-record=cluster.brolix.test,authSource=admin",
                                f"--host-record=db.brolix.test,{ADDRESS}"))
    os.makedirs(state + "/data")
    started.append(in_namespace(FERRETDB, "--handler=sqlite", f"--sqlite-url=file:{state}/data/",
                                f"--state-dir={state}", "--telemetry=disable", "--debug-addr=-", "--log-level=error",
                                "--listen-addr=", f"--listen-tls={ADDRESS}:{PORT}",
                                f"--listen-tls-cert-file={TLS}/server.crt", f"--listen-tls-key-file={TLS}/server.key",
                                f"--listen-tls-ca-file={TLS}/ca.pem", "--test-enable-new-auth",
                                "--setup-username=ann", f"--setup-password={PASSWORD}", "--setup-database=admin"))
    for _ in range(60):
        if run("/usr/bin/python3", SOURCE + "/tools/ping.py", ADDRESS, TLS, PORT)[0] == 0 or time.sleep(0.5):
            break
    insert = ("import pymongo, sys; pymongo.MongoClient(sys.argv[1], int(sys.argv[2]), tls=True, tlsCAFile=sys.argv[3]"
              " + '/ca.pem', tlsCertificateKeyFile=sys.argv[3] + '/client.pem', username='ann', password=sys.argv[4])"
              ".srv_data.items.insert_one({'sku': 'A1'})")
    e2e.check(run("/usr/bin/python3", "-c", insert, ADDRESS, PORT, TLS, PASSWORD)[0] == 0,
              "no FerretDB answers in the namespace")
    cluster = f"mongodb+srv://cluster.brolix.test/?tlsCAFile={TLS}/ca.pem&tlsCertificateKeyFile={TLS}/client.pem"
    both = ["-ds", cluster, "-db", "srv_data", "-ss", cluster, "-sc", "srv_schema", "-du", "ann", "-dp", PASSWORD,
            "-su", "ann", "-sp", PASSWORD]
    cli = os.environ["BROLIX_CLI"]
    for args, expected, shows in [
            (["create", "--yes", "--quiet", *both], 0, ""),
            (["check", "--json", *both], 0, '"outcome" : "agree"'),
            (["check", *both[:-1], "wrong"], 2, "Authentication failed."),
            (["check", *both, "-ds", cluster.replace("cluster.", "nowhere.")], 2,
             "MongoDB Error:Failed to look up SRV record"),
    ]:
        code, said = run(cli, *args)
        e2e.check(code == expected and shows in said, f"{args[0]}: exit {code}\n{said}")
        e2e.check(PASSWORD not in said and "Rt%40" not in said, "a password shown:\n" + said)
    print("mongodb+srv:// reached through SRV and TXT records: created, checked; a wrong password and an "
          "unknown name refused")
finally:
    for process in started:
        process.terminate()
        process.wait()
    subprocess.run(["ip", "netns", "del", NAME])
    shutil.rmtree(f"/etc/netns/{NAME}", ignore_errors=True)
    shutil.rmtree(state, ignore_errors=True)
