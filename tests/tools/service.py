# SPDX-License-Identifier: MIT
"""quillbar-preview as a service for the tests: started on loopback with
free ports, and stopped with SIGTERM."""
import http.client
import signal
import subprocess
import sys

from prometheus_client.parser import text_string_to_metric_families


def start(preview, arguments, said=("http",), preexec_fn=None):
    """Starts the tool; returns it and the addresses it said it serves
    ("http" -> "http://127.0.0.1:PORT/", "listening" -> "127.0.0.1:PORT")."""
    process = subprocess.Popen([preview, *arguments], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               preexec_fn=preexec_fn)
    addresses = {}
    while any(key not in addresses for key in said):
        line = process.stdout.readline()
        if not line:
            sys.exit("the service did not start: " + process.stderr.read())
        key, _, value = line.strip().partition(": ")
        addresses[key] = value
    return process, addresses


def stop(process):
    """SIGTERM; whether it stopped cleanly (exit 0) within 10 s."""
    process.send_signal(signal.SIGTERM)
    try:
        return process.wait(10) == 0
    except subprocess.TimeoutExpired:
        process.kill()
        return False


def metrics(host, port):
    """GET /metrics, read by the Prometheus client's own parser:
    {(sample name, ((label, value), ...)): value}."""
    connection = http.client.HTTPConnection(host, port, timeout=10)
    try:
        connection.request("GET", "/metrics", headers={"Host": "localhost"})
        response = connection.getresponse()
        text = response.read().decode()
    finally:
        connection.close()
    if response.status != 200:
        raise AssertionError(f"/metrics: {response.status} {text}")
    return {(sample.name, tuple(sorted(sample.labels.items()))): sample.value
            for family in text_string_to_metric_families(text) for sample in family.samples}
