"""Result streams over plain HTTP keep their connection for the next query; a
kept connection the server closes, even as the next query goes out on it, is
replaced without the host seeing anything."""

import socketserver
import threading

import adbc_driver_manager.dbapi
import pyarrow as pa
from hostile_server import batch_frame, eos_frame, init_frame

TOKEN = "tok-kept-1"
RESULT = pa.record_batch([pa.array(range(50_000), pa.int64())], names=["n"])


def stream_body():
    sink = pa.BufferOutputStream()
    with pa.ipc.new_stream(sink, RESULT.schema) as writer:
        writer.write_batch(RESULT)
    frames = init_frame() + batch_frame(sink.getvalue().to_pybytes()) + eos_frame()
    # Chunks of odd sizes, so that chunk boundaries fall inside frames.
    chunks = [frames[i:i + 70_001] for i in range(0, len(frames), 70_001)]
    return b"".join(b"%x\r\n%s\r\n" % (len(c), c) for c in chunks) + b"0\r\n\r\n"


class Compute(socketserver.ThreadingTCPServer):
    """Answers the first query, drops the connection the second one arrives on
    without a word, answers every later one; anything else gets a 404."""
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.lock = threading.Lock()
        self.queries = 0
        self.connections = 0


class Handler(socketserver.BaseRequestHandler):
    def read_request(self, pending):
        while b"\r\n\r\n" not in pending:
            more = self.request.recv(65536)
            if not more:
                return None, b""
            pending += more
        head, _, rest = pending.partition(b"\r\n\r\n")
        length = 0
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value)
        while len(rest) < length:
            rest += self.request.recv(65536)
        return head.split(b" ")[0], rest[length:]

    def handle(self):
        server = self.server
        with server.lock:
            server.connections += 1
        pending = b""
        while True:
            method, pending = self.read_request(pending)
            if method is None:
                return
            if method != b"POST":
                self.request.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")
                continue
            with server.lock:
                server.queries += 1
                number = server.queries
            if number == 2:
                self.request.close()
                return
            self.request.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/vnd.zorvane.stream.v1"
                                 b"\r\nTransfer-Encoding: chunked\r\n\r\n" + stream_body())


def test_a_kept_connection_the_server_drops_is_replaced_unseen(driver_path):
    with Compute() as compute:
        threading.Thread(target=compute.serve_forever, daemon=True).start()
        url = f"http://127.0.0.1:{compute.server_address[1]}"
        conn = adbc_driver_manager.dbapi.connect(
            driver=driver_path, autocommit=True,
            db_kwargs={"uri": url, "adbc.zorvane.session_token": TOKEN,
                       "adbc.zorvane.compute_url": url})
        try:
            for _ in range(3):
                with conn.cursor() as cur:
                    cur.execute("SELECT n FROM t")
                    assert cur.fetch_arrow_table().to_batches() == [RESULT]
        finally:
            conn.close()
            compute.shutdown()
        assert compute.queries == 4  # the second one twice: dropped, then answered
        # The first query's connection carried the second; the retry and the
        # third query shared a fresh one (other requests may add their own).
        assert compute.connections >= 2
