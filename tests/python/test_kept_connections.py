"""Result streams over plain HTTP, which the driver reads itself: the
connection is kept for the next query, a kept connection the server closes
(even as the next query goes out on it) is replaced without the host seeing
anything, and broken HTTP framing is refused."""

import socketserver
import threading

import adbc_driver_manager as dm
import adbc_driver_manager.dbapi
import pyarrow as pa
import pytest
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


OK_HEAD = (b"HTTP/1.1 200 OK\r\nContent-Type: application/vnd.zorvane.stream.v1\r\n"
           b"Transfer-Encoding: chunked\r\n\r\n")


def drop_the_second(number):
    """Answers every query but the second, whose connection is dropped unanswered."""
    return None if number == 2 else OK_HEAD + stream_body()


class Compute(socketserver.ThreadingTCPServer):
    """Answers each query with reply(its number), or drops its connection when
    that is None (and after every reply when told to); anything but a POST gets
    a 404."""
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, reply=drop_the_second, close_after_reply=False):
        super().__init__(("127.0.0.1", 0), Handler)
        self.reply = reply
        self.close_after_reply = close_after_reply
        self.lock = threading.Lock()
        self.queries = 0
        self.connections = 0
        threading.Thread(target=self.serve_forever, daemon=True).start()
        self.url = f"http://127.0.0.1:{self.server_address[1]}"

    def connect(self, driver_path):
        return adbc_driver_manager.dbapi.connect(
            driver=driver_path, autocommit=True,
            db_kwargs={"uri": self.url, "adbc.zorvane.session_token": TOKEN,
                       "adbc.zorvane.compute_url": self.url})


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
            reply = server.reply(number)
            if reply is None:
                self.request.close()
                return
            self.request.sendall(reply)
            if server.close_after_reply:
                return


def test_a_kept_connection_the_server_drops_is_replaced_unseen(driver_path):
    with Compute() as compute:
        conn = compute.connect(driver_path)
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


BROKEN = [
    pytest.param(OK_HEAD + b"zz\r\n", "malformed HTTP response: bad chunk size", id="chunk-size"),
    pytest.param(OK_HEAD + stream_body()[:100_000], "transfer closed with outstanding read data",
                 id="cut-mid-chunk"),
    pytest.param(b"HTTP/1.1 200 OK\r\n" + b"X-Pad: xxxxxxxx\r\n" * 5000, "header section is too large",
                 id="endless-head"),
    pytest.param(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 7\r\n\r\n",
                 "bad Content-Length", id="two-lengths"),
]


@pytest.mark.parametrize("reply, message", BROKEN)
def test_broken_http_framing_is_a_transport_error(driver_path, reply, message):
    def answer(number):
        return reply if number == 1 else None

    with Compute(answer, close_after_reply=True) as compute:
        conn = compute.connect(driver_path)
        try:
            with conn.cursor() as cur, pytest.raises((dm.Error, OSError)) as raised:
                cur.execute("SELECT n FROM t")
                cur.fetch_arrow_table()
        finally:
            conn.close()
            compute.shutdown()
        assert message in str(raised.value)
