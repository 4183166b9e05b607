#!/usr/bin/python3
"""h2_vs_grpc: the framework's HTTP/2 gRPC server against gRPC C++'s own.

The same unary echo call (a 4 KiB request, a 64-byte answer) is served by
gRPC C++'s asynchronous server and by the framework's RpcServer (one
blocking event worker), each in a process of its own, and both are driven
by the same client: h2load posting one gRPC body over one HTTP/2
connection, at 1 and at 32 calls in flight. Printed per server and depth:
calls per second, p50 and p99 latency (from h2load's per-request log), and
the server process's CPU seconds per 100 000 calls (its getrusage before
and after the run), and h2load's own (a client near one core's worth is
the limit of the figures, not the server). Then the two targets: at 32 outstanding calls the
framework answers at least 2x the calls per second of gRPC C++ and spends
at most half its CPU per call.

Then large answers (the shape of large reads): one connection asking for
1 MiB and 4 MiB answers (h2load's windows wide open, a reader as fast as
loopback allows), at 1 and at 8 calls in flight, printed per server, size
and depth as MB/s of answers and the server's CPU milliseconds per MB
(informational, no target).

The servers are bench_rpc_compare's ("--serve=grpc-async" and
"--serve=tarn-blocking"), which report their port and CPU time over a
control socket; the framework's RpcServer answers HTTP/2 on the port of its
frame protocol.

  h2_vs_grpc.py [BUILD_DIR]        (default build-release)

Environment: H2_VS_GRPC_SECONDS, the rough length of one measured run
(default 2.5); H2_VS_GRPC_DEPTHS, the calls in flight (default 1,32);
H2_VS_GRPC_LARGE, the large answer sizes in bytes (default
1048576,4194304; empty leaves them out); H2_VS_GRPC_LARGE_DEPTHS (default
1,8).
Exits 1 when a tool is missing, a server does not start or a run has
failed calls; a missed target is reported, not an error.
"""

import os
import re
import resource
import shutil
import socket
import struct
import subprocess
import sys
import tempfile

REQUEST_BYTES = 4096
RESPONSE_BYTES = 64
TARGET_DEPTH = 32
TARGET_RATIO = 2.0
WARMUP_CALLS = 2000

# (row name, bench_rpc_compare server, request path)
SERVERS = [
    ("gRPC C++", "grpc-async", "/rpcbench.EchoService/Echo"),
    ("tarn HTTP/2", "tarn-blocking", "/rpcbench.TarnEchoService/Echo"),
]


def varint(n):
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out)


def echo_message(size, fill):
    """rpcbench.EchoRequest/EchoResponse with a payload of size bytes."""
    return b"\x0a" + varint(size) + fill * size


def large_request(answer_bytes):
    """rpcbench.EchoRequest asking for an answer of answer_bytes."""
    return b"\x10" + varint(answer_bytes)


def grpc_body(message):
    return struct.pack(">BI", 0, len(message)) + message


class Server:
    """One bench_rpc_compare server child and its control socket."""

    def __init__(self, program, name):
        self.ctl, child_end = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
        self.ctl.settimeout(30)
        self.process = subprocess.Popen(
            [program, "--serve=" + name, "--ctl-fd=%d" % child_end.fileno()],
            pass_fds=(child_end.fileno(),), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        child_end.close()
        (self.port,) = struct.unpack("=i", self._read(4))
        if self.port <= 0:
            raise RuntimeError("%s: server did not start" % name)

    def _read(self, n):
        data = b""
        while len(data) < n:
            chunk = self.ctl.recv(n - len(data))
            if not chunk:
                raise RuntimeError("server control socket closed")
            data += chunk
        return data

    def cpu_seconds(self):
        self.ctl.sendall(b"u")
        return struct.unpack("=q", self._read(8))[0] / 1e6

    def stop(self):
        try:
            self.ctl.sendall(b"q")
        except OSError:
            pass
        self.ctl.close()
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def h2load(url, body_file, calls, depth, log_file=None):
    """One h2load run over one connection; its figures as a dict."""
    argv = ["h2load", "-n", str(calls), "-c", "1", "-t", "1", "-m", str(depth),
            "-d", body_file, "-H", "content-type: application/grpc", "-H", "te: trailers"]
    if log_file:
        argv.append("--log-file=" + log_file)
    argv.append(url)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    out = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         text=True, timeout=300).stdout
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    # The servers are children too, but only h2load has been waited for.
    figures = {"output": out, "cpu": (after.ru_utime + after.ru_stime) -
                                      (before.ru_utime + before.ru_stime)}
    m = re.search(r"finished in ([0-9.]+)(us|ms|s), ([0-9.]+) req/s", out)
    figures["calls_per_s"] = float(m.group(3)) if m else 0.0
    m = re.search(r"requests: \d+ total, \d+ started, \d+ done, (\d+) succeeded", out)
    figures["succeeded"] = int(m.group(1)) if m else 0
    m = re.search(r"\((\d+)\) data", out)
    figures["data_bytes"] = int(m.group(1)) if m else -1
    return figures


def percentile(sorted_values, q):
    if not sorted_values:
        return 0.0
    return float(sorted_values[min(len(sorted_values) - 1, int(q * len(sorted_values)))])


def measure(server, url, body_file, depth, seconds, work):
    """Warms up, sizes the run to about `seconds`, and measures it."""
    warm = h2load(url, body_file, WARMUP_CALLS, depth)
    rate = max(warm["calls_per_s"], 1.0)
    calls = int(min(max(rate * seconds, 2000), 1000000))
    log_file = os.path.join(work, "latency.tsv")
    if os.path.exists(log_file):
        os.remove(log_file)
    before = server.cpu_seconds()
    run = h2load(url, body_file, calls, depth, log_file)
    cpu = server.cpu_seconds() - before
    answer_bytes = len(grpc_body(echo_message(RESPONSE_BYTES, b"r")))
    failed = calls - run["succeeded"]
    if run["data_bytes"] != run["succeeded"] * answer_bytes:
        failed = max(failed, 1)  # some answer was not the 64-byte echo
    latencies = []
    with open(log_file if os.path.exists(log_file) else os.devnull) as log:
        for line in log:
            fields = line.split("\t")
            if len(fields) >= 3 and fields[1] == "200":
                latencies.append(int(fields[2]))
    latencies.sort()
    row = {
        "depth": depth, "calls": run["succeeded"], "failed": failed,
        "calls_per_s": run["calls_per_s"],
        "p50_us": percentile(latencies, 0.50), "p99_us": percentile(latencies, 0.99),
        "cpu_per_100k": cpu / max(run["succeeded"], 1) * 1e5,
        "client_cpu_per_100k": run["cpu"] / max(run["succeeded"], 1) * 1e5,
    }
    if failed:
        row["error"] = run["output"][-2000:]
    return row


def measure_large(server, url, body_file, answer_bytes, depth, seconds):
    """MB/s of large answers and the server's CPU ms per MB."""
    warm = h2load(url, body_file, max(depth * 4, 16), depth)
    rate = max(warm["calls_per_s"], 1.0)
    calls = int(min(max(rate * seconds, depth * 8, 32), 200000))
    before = server.cpu_seconds()
    run = h2load(url, body_file, calls, depth)
    cpu = server.cpu_seconds() - before
    megabytes = run["succeeded"] * answer_bytes / 1e6
    # Each answer carries its payload's tag, length and the gRPC prefix.
    expected = run["succeeded"] * (answer_bytes + 5 + 1 + len(varint(answer_bytes)))
    row = {
        "calls": run["succeeded"], "failed": calls - run["succeeded"],
        "mb_per_s": run["calls_per_s"] * answer_bytes / 1e6,
        "cpu_ms_per_mb": cpu * 1e3 / max(megabytes, 1e-9),
    }
    if run["data_bytes"] != expected:
        row["failed"] = max(row["failed"], 1)
    if row["failed"]:
        row["error"] = run["output"][-2000:]
    return row


def verdict(ratio):
    return "met" if ratio >= TARGET_RATIO else "MISSED"


def main(argv):
    os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    build = argv[1] if len(argv) > 1 else "build-release"
    program = os.path.join(build, "bench", "bench_rpc_compare")
    if not os.access(program, os.X_OK):
        print("h2_vs_grpc: %s is missing (it needs libgrpc++-dev and protobuf-compiler-grpc; "
              "scripts/setup.sh installs them)" % program, file=sys.stderr)
        return 1
    if shutil.which("h2load") is None:
        print("h2_vs_grpc: h2load is missing (Debian's nghttp2-client; scripts/setup.sh "
              "installs it)", file=sys.stderr)
        return 1
    seconds = float(os.environ.get("H2_VS_GRPC_SECONDS", "2.5"))
    depths = [int(d) for d in os.environ.get("H2_VS_GRPC_DEPTHS", "1,32").split(",") if d]
    large_sizes = [int(n) for n in
                   os.environ.get("H2_VS_GRPC_LARGE", "1048576,4194304").split(",") if n]
    large_depths = [int(d) for d in
                    os.environ.get("H2_VS_GRPC_LARGE_DEPTHS", "1,8").split(",") if d]

    rows = {}
    large_rows = {}
    with tempfile.TemporaryDirectory() as work:
        body_file = os.path.join(work, "request.grpc")
        with open(body_file, "wb") as f:
            f.write(grpc_body(echo_message(REQUEST_BYTES, b"q")))
        large_files = {}
        for size in large_sizes:
            large_files[size] = os.path.join(work, "large-%d.grpc" % size)
            with open(large_files[size], "wb") as f:
                f.write(grpc_body(large_request(size)))
        for label, name, path in SERVERS:
            server = Server(program, name)
            try:
                url = "http://127.0.0.1:%d%s" % (server.port, path)
                for depth in depths:
                    rows[(label, depth)] = measure(server, url, body_file, depth, seconds, work)
                    print("  %-12s depth %2d: %d calls" % (label, depth,
                                                          rows[(label, depth)]["calls"]),
                          file=sys.stderr)
                for size in large_sizes:
                    for depth in large_depths:
                        large_rows[(label, size, depth)] = measure_large(
                            server, url, large_files[size], size, depth, seconds)
            finally:
                server.stop()

    print("client: h2load, 1 connection; request 4 KiB, answer 64 bytes; "
          "%d cores" % os.cpu_count())
    print("%-12s %5s %9s %11s %9s %9s %14s %14s %7s" % (
        "server", "depth", "calls", "calls/s", "p50 us", "p99 us", "srv cpu s/100k",
        "cli cpu s/100k", "failed"))
    failed = False
    for label, _, _ in SERVERS:
        for depth in depths:
            r = rows[(label, depth)]
            print("%-12s %5d %9d %11.0f %9.0f %9.0f %14.3f %14.3f %7d" % (
                label, depth, r["calls"], r["calls_per_s"], r["p50_us"], r["p99_us"],
                r["cpu_per_100k"], r["client_cpu_per_100k"], r["failed"]))
            if r["failed"]:
                failed = True
                print("    h2load said:\n" + r["error"], file=sys.stderr)

    if large_rows:
        print()
        print("large answers, 1 connection (h2load, windows 1 GiB)")
        print("%-12s %9s %5s %9s %9s %13s %7s" % (
            "server", "answer", "depth", "calls", "MB/s", "srv cpu ms/MB", "failed"))
        for label, _, _ in SERVERS:
            for size in large_sizes:
                for depth in large_depths:
                    r = large_rows[(label, size, depth)]
                    print("%-12s %6d KiB %5d %9d %9.0f %13.3f %7d" % (
                        label, size // 1024, depth, r["calls"], r["mb_per_s"],
                        r["cpu_ms_per_mb"], r["failed"]))
                    if r["failed"]:
                        failed = True
                        print("    h2load said:\n" + r["error"], file=sys.stderr)

    grpc_row = rows.get(("gRPC C++", TARGET_DEPTH))
    tarn_row = rows.get(("tarn HTTP/2", TARGET_DEPTH))
    if grpc_row and tarn_row and grpc_row["calls_per_s"] > 0 and tarn_row["cpu_per_100k"] > 0:
        speed = tarn_row["calls_per_s"] / grpc_row["calls_per_s"]
        thrift = grpc_row["cpu_per_100k"] / tarn_row["cpu_per_100k"]
        print()
        print("calls/s, tarn HTTP/2 over gRPC C++, depth %d = %.2fx (target >= %.1fx) %s" % (
            TARGET_DEPTH, speed, TARGET_RATIO, verdict(speed)))
        print("server CPU per call, gRPC C++ over tarn HTTP/2, depth %d = %.2fx "
              "(target >= %.1fx) %s" % (TARGET_DEPTH, thrift, TARGET_RATIO, verdict(thrift)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
