"""Reads the bytes a server sent on one connection as an HTTP/1.1 client would, with h11.

Usage: h11_read_replies.py FILE. Prints one line per reply ("reply <status>") and then "ok",
or the first thing h11 could not read ("error: ..."), exiting with status 1. Every reply is
taken as the answer to a GET, and bytes left after a reply that ends the connection are an
error: a client could not tell what they are.
"""
import sys

import h11


def read_replies(data):
    if not data:
        return []  # closed without a reply: nothing to misread
    conn = h11.Connection(our_role=h11.CLIENT)
    conn.receive_data(data)
    conn.receive_data(b"")  # the server closed after these bytes
    statuses = []
    while True:
        if conn.our_state is h11.IDLE:
            conn.send(h11.Request(method="GET", target="/", headers=[("Host", "h")]))
            conn.send(h11.EndOfMessage())
        event = conn.next_event()
        if isinstance(event, h11.Response):
            statuses.append(event.status_code)
        elif isinstance(event, h11.ConnectionClosed):
            return statuses
        elif event is h11.NEED_DATA:
            raise h11.RemoteProtocolError("the bytes end inside a reply")
        elif isinstance(event, h11.EndOfMessage):
            rest = conn.trailing_data[0]
            if conn.their_state is h11.MUST_CLOSE and rest:
                raise h11.RemoteProtocolError(f"{len(rest)} bytes after the closing reply")
            if conn.their_state is h11.MUST_CLOSE or not rest:
                return statuses
            conn.start_next_cycle()


def main():
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    try:
        for status in read_replies(data):
            print(f"reply {status}")
    except h11.ProtocolError as e:
        print(f"error: {e}")
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
