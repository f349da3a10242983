"""The HTTP and WebSocket interface of `ondrelix serve`: every endpoint, the origin check, the
size limit, malformed requests and frames. The server must answer each with the right status or
message and keep serving.
    python3 test_api.py PORT CORPUS_DIR"""
import http.client
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import wave

from wsclient import WebSocket

PORT = int(sys.argv[1])
CORPUS = sys.argv[2]
HOST = f"127.0.0.1:{PORT}"
failures = []


def check(name, condition, detail=""):
    if not condition:
        failures.append(name)
        print(f"FAIL {name} {detail}")


def request(method, path, body=None, headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=60)
    conn.request(method, path, body=body, headers=headers or {})
    response = conn.getresponse()
    data = response.read()
    conn.close()
    return response.status, response.getheader("Content-Type", ""), data


def error_of(data):
    try:
        return json.loads(data)["error"]
    except (ValueError, KeyError):
        return None


def pcm_of(path):
    with wave.open(path) as w:
        return w.readframes(w.getnframes())


speech = open(f"{CORPUS}/spk1_a.wav", "rb").read()
female = open(f"{CORPUS}/spk3_a.wav", "rb").read()

# The page and the init report.
status, kind, data = request("GET", "/")
check("page", status == 200 and kind.startswith("text/html") and b"<title>ondrelix" in data, status)
status, _, _ = request("GET", "/favicon.ico")
check("favicon", status == 204, status)
status, kind, data = request("GET", "/api/voices")
check("voices", status == 200 and "deep" in json.loads(data)["voices"], data[:100])

# Conversion: WAV and FLAC in, WAV out; the library's message on failure.
status, kind, data = request("POST", "/api/convert?voice=deep", speech)
check("convert", status == 200 and kind == "audio/wav" and data[:4] == b"RIFF", (status, data[:60]))
with tempfile.TemporaryDirectory() as folder:
    subprocess.run(["sox", f"{CORPUS}/spk1_a.wav", f"{folder}/a.flac"], check=True)
    status, kind, data = request("POST", "/api/convert?voice=deep", open(f"{folder}/a.flac", "rb").read())
    check("convert-flac", status == 200 and data[:4] == b"RIFF", (status, data[:80]))
status, _, data = request("POST", "/api/convert?voice=nobody", speech)
check("unknown-voice", status == 400 and "unknown voice" in (error_of(data) or ""), data)
status, _, data = request("POST", "/api/convert?voice=deep", speech[:600])
check("truncated-wav", status == 400 and error_of(data) == "Invalid inference parameters", data)
status, _, data = request("POST", "/api/convert?voice=deep", b"")
check("empty-body", status == 400 and error_of(data), data)
status, _, data = request("POST", "/api/convert?voice=deep", b"\x00garbage" * 100)
check("not-audio", status == 400 and error_of(data), data)
status, _, _ = request("GET", "/api/convert")
check("wrong-method", status == 405, status)
status, _, _ = request("GET", "/etc/passwd")
check("unknown-path", status == 404, status)

# Cloning makes "custom" a voice.
status, _, data = request("POST", "/api/convert?voice=custom", speech)
check("custom-before-clone", status == 400, status)
status, kind, data = request("POST", "/api/clone", female)
check("clone", status == 200 and json.loads(data).get("cloned") is True, data)
status, _, data = request("POST", "/api/convert?voice=custom", speech)
check("custom-after-clone", status == 200 and data[:4] == b"RIFF", status)

# Only the page's own origin.
status, _, data = request("POST", "/api/convert?voice=deep", speech, {"Origin": "http://evil.example"})
check("foreign-origin", status == 403, status)
status, _, _ = request("POST", "/api/convert?voice=deep", speech, {"Origin": f"http://{HOST}"})
check("own-origin", status == 200, status)
status, _, _ = request("GET", "/api/voices", headers={"Host": f"evil.example:{PORT}"})
check("rebound-host", status == 403, status)
status, _, _ = request("GET", "/api/voices", headers={"Host": "127.0.0.1:1"})
check("other-port", status == 403, status)
ws = WebSocket(PORT, "/api/stream?voice=deep", origin="http://evil.example")
check("foreign-origin-websocket", ws.status == 403, ws.status)
ws.close()

# Bodies above 50 MB are refused before they are read.
conn = socket.create_connection(("127.0.0.1", PORT), timeout=20)
conn.sendall(f"POST /api/convert?voice=deep HTTP/1.1\r\nHost: {HOST}\r\n"
             "Content-Length: 60000000\r\n\r\n".encode())
reply = conn.recv(4096)
conn.close()
check("too-large", reply.startswith(b"HTTP/1.1 413"), reply[:40])

# Garbage instead of HTTP.
conn = socket.create_connection(("127.0.0.1", PORT), timeout=20)
conn.sendall(b"\x16\x03\x01garbage\r\n\r\n")
conn.recv(4096)
conn.close()


def stream(ws, pcm, rate):
    """Sends pcm in 20 ms messages at a live source's pace (faster, the stream would drop the
    oldest input to bound its delay), then "stop"; returns (samples back, report)."""
    step = rate // 50 * 2
    back = b""
    try:
        for i in range(0, len(pcm), step):
            ws.send(pcm[i:i + step])
            time.sleep(0.02)
        ws.send("stop", text=True)
    except OSError:
        pass  # refused: the reason is the message waiting to be read
    report = None
    while True:
        opcode, payload = ws.receive()
        if opcode == 2:
            back += payload
        elif opcode == 1:
            report = json.loads(payload)
        else:
            return back, report


# A live stream through the WebSocket: as many samples back as went in, and the stop report.
pcm = pcm_of(f"{CORPUS}/spk1_a.wav")
ws = WebSocket(PORT, "/api/stream?voice=deep&rate=16000")
check("stream-upgrade", ws.status == 101, ws.status)
second = WebSocket(PORT, "/api/stream?voice=deep&rate=16000")
opcode, payload = second.receive()
check("second-stream-refused", opcode == 1 and "another live stream" in (error_of(payload) or ""), payload)
second.close()
ws.send(b"\x01")  # half a sample: waits for the next message
ws.send("what is this", text=True)
back, report = stream(ws, b"\x00" + pcm, 16000)
check("stream-length", len(back) == len(pcm) + 2, (len(back), len(pcm)))  # the half sample joined
check("stream-report", report is not None and report.get("dropped_frames") == 0, report)
ws.close()

# Bad parameters and broken frames end the stream, never the server.
for target, expected in [("/api/stream?voice=deep&rate=5", "rate"),
                         ("/api/stream?voice=nobody", "unknown voice")]:
    ws = WebSocket(PORT, target)
    opcode, payload = ws.receive()
    check(f"stream-refused-{expected}", opcode == 1 and expected in (error_of(payload) or ""), payload)
    ws.close()
ws = WebSocket(PORT, "/api/stream?voice=deep&rate=48000")
ws.send_raw(b"\x82\xff" + os.urandom(64))  # a frame that claims an absurd length
opcode, _ = ws.receive()
ws.close()
for attempt in range(50):  # the server may still be closing the broken stream
    ws = WebSocket(PORT, "/api/stream?voice=robot&rate=48000")
    back, report = stream(ws, b"\x00\x00" * 48000, 48000)
    ws.close()
    if "another live stream" not in str(report):
        break
    time.sleep(0.1)
check("stream-after-garbage", report is not None and len(back) == 96000, (len(back), report))
status, _, _ = request("GET", "/api/voices")
check("still-serving", status == 200, status)

print(f"{len(failures)} failed" if failures else "api: every check passed")
sys.exit(1 if failures else 0)
