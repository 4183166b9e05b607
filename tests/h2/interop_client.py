#!/usr/bin/python3
"""A stock gRPC client (grpcio) calling interop.EchoService on one port.

Run with the system Python, which has Debian's python3-grpcio:

  interop_client.py PORT CHECK...

Every CHECK runs in order on one channel (one HTTP/2 connection):
  echo=N        a call whose request message is N bytes, echoed back whole
  gzip=N        the same with the request compressed by gzip
  deflate       a request compressed by deflate, which the server does not
                take, ends UNIMPLEMENTED; the next call is served
  unknown       an unknown method and an unknown service end UNIMPLEMENTED
  fail          a failed call brings its status and message to the client,
                and the connection still serves the next call
  concurrent=N  N calls open at once; the server answers none of them
                before all N have arrived
  upload=N:S    N calls open at once, each uploading a payload of S bytes
                (their DATA interleaved on the one connection); answered
                only once all N have arrived whole
  large=N:S     N calls open at once, each answered with S payload bytes
                once all N have arrived (the answers leave together)
  held=N:MS     N calls started at once, each held MS milliseconds by the
                service: more than the server's stream limit queue in the
                client
  expired=N     a long call held 4 s; 128 calls (the server's stream limit)
                held 8 s by the service, each with a 1 s deadline, end
                DEADLINE_EXCEEDED; then N ordinary calls at once while those
                still run in the service, each answered; then the long call

Exits 0 when every check passed, else 1 after printing what went wrong.
The messages are encoded here by hand, so no generated code is needed.
"""

import sys

import grpc

ECHO = "/interop.EchoService/Echo"
# The deadline of calls meant to be answered: hundreds of MiB through a
# sanitizer build on a busy machine can take minutes.
DEADLINE_S = 120.0


def varint(n):
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        if n:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def length_field(number, data):
    return varint(number << 3 | 2) + varint(len(data)) + data


def request(payload=b"", text="", fail_text="", gather=0, answer_bytes=0, hold_ms=0):
    out = b""
    if payload:
        out += length_field(1, payload)
    if text:
        out += length_field(2, text.encode())
    if fail_text:
        out += length_field(3, fail_text.encode())
    if gather:
        out += varint(4 << 3) + varint(gather)
    if answer_bytes:
        out += varint(5 << 3) + varint(answer_bytes)
    if hold_ms:
        out += varint(6 << 3) + varint(hold_ms)
    return out


def decode_response(data):
    """EchoResponse as {"payload": bytes, "text": str, "payload_size": int}."""
    fields = {"payload": b"", "text": "", "payload_size": 0}
    pos = 0

    def read_varint():
        nonlocal pos
        shift = value = 0
        while True:
            byte = data[pos]
            pos += 1
            value |= (byte & 0x7F) << shift
            shift += 7
            if not byte & 0x80:
                return value

    while pos < len(data):
        key = read_varint()
        number, wire_type = key >> 3, key & 7
        if wire_type == 0:
            value = read_varint()
        elif wire_type == 2:
            n = read_varint()
            value = data[pos:pos + n]
            pos += n
        else:
            raise ValueError("unexpected wire type %d" % wire_type)
        if number == 1:
            fields["payload"] = bytes(value)
        elif number == 2:
            fields["text"] = bytes(value).decode()
        elif number == 3:
            fields["payload_size"] = value
    return fields


def pattern(n):
    return bytes((i * 131 + i // 251) & 0xFF for i in range(n))


def payload_for_message_size(size):
    """A payload whose request message is exactly size bytes."""
    if size == 0:
        return b""
    n = size - 2
    while 1 + len(varint(n)) + n > size:
        n -= 1
    if 1 + len(varint(n)) + n != size:
        raise ValueError("no payload makes a message of %d bytes" % size)
    return pattern(n)


def unary(channel, path):
    return channel.unary_unary(path, request_serializer=None, response_deserializer=None)


def expect(condition, what):
    if not condition:
        raise AssertionError(what)


def check_echo(channel, size, compression=None):
    payload = payload_for_message_size(size)
    body = request(payload=payload)
    expect(len(body) == size, "request of %d bytes, wanted %d" % (len(body), size))
    answer = decode_response(unary(channel, ECHO)(body, timeout=DEADLINE_S,
                                                    compression=compression))
    expect(answer["payload"] == payload,
           "payload of %d bytes came back as %d bytes%s" % (
               len(payload), len(answer["payload"]),
               "" if len(answer["payload"]) != len(payload) else " with other bytes"))
    expect(answer["payload_size"] == len(payload),
           "server saw %d payload bytes, sent %d" % (answer["payload_size"], len(payload)))


def expect_status(call, code, details=None):
    try:
        call()
    except grpc.RpcError as error:
        expect(error.code() == code, "status %s, wanted %s (%s)" % (
            error.code(), code, error.details()))
        if details is not None:
            expect(error.details() == details,
                   "message %r, wanted %r" % (error.details(), details))
        return
    raise AssertionError("call succeeded, wanted %s" % code)


def check_unknown(channel):
    for path in ("/interop.EchoService/Missing", "/interop.NoSuchService/Echo"):
        expect_status(lambda: unary(channel, path)(request(text="x"), timeout=DEADLINE_S),
                      grpc.StatusCode.UNIMPLEMENTED)


def check_deflate(channel):
    expect_status(lambda: unary(channel, ECHO)(request(text="x" * 512), timeout=DEADLINE_S,
                                               compression=grpc.Compression.Deflate),
                  grpc.StatusCode.UNIMPLEMENTED)
    answer = decode_response(unary(channel, ECHO)(request(text="after"), timeout=DEADLINE_S))
    expect(answer["text"] == "after", "the call after the refusal answered %r" % answer)


def check_fail(channel):
    text = "echo failed: 100% on purpose"
    expect_status(lambda: unary(channel, ECHO)(request(fail_text=text), timeout=DEADLINE_S),
                  grpc.StatusCode.INTERNAL, text)
    answer = decode_response(unary(channel, ECHO)(request(text="after"), timeout=DEADLINE_S))
    expect(answer["text"] == "after", "the call after the failure answered %r" % answer)


def check_concurrent(channel, n):
    call = unary(channel, ECHO)
    futures = [call.future(request(text="call-%d" % i, gather=n), timeout=DEADLINE_S)
               for i in range(n)]
    for i, future in enumerate(futures):
        answer = decode_response(future.result())
        expect(answer["text"] == "call-%d" % i,
               "call %d answered %r" % (i, answer["text"]))


def check_upload(channel, n, size):
    call = unary(channel, ECHO)
    futures = [call.future(request(payload=pattern(size), text="upload-%d" % i, gather=n),
                           timeout=DEADLINE_S)
               for i in range(n)]
    for i, future in enumerate(futures):
        answer = decode_response(future.result())
        expect(answer["text"] == "upload-%d" % i, "upload %d answered %r" % (i, answer["text"]))
        expect(answer["payload_size"] == size,
               "upload %d: server saw %d bytes, sent %d" % (i, answer["payload_size"], size))


def expect_all_answered(futures, prefix, wrong):
    """Waits for every call; `wrong(i, answer)` says what is off, or None."""
    failures = []
    for i, future in enumerate(futures):
        try:
            answer = decode_response(future.result())
        except grpc.RpcError as error:
            failures.append("%s-%d: %s %s" % (prefix, i, error.code(), error.details()))
            continue
        problem = wrong(i, answer)
        if problem:
            failures.append(problem)
    expect(not failures, "%d of %d calls failed: %s" % (
        len(failures), len(futures), "; ".join(failures[:4])))


def check_large(channel, n, size):
    call = unary(channel, ECHO)
    futures = [call.future(request(text="large-%d" % i, gather=n, answer_bytes=size),
                           timeout=DEADLINE_S)
               for i in range(n)]

    def wrong(i, answer):
        if answer["text"] != "large-%d" % i or len(answer["payload"]) != size:
            return "large-%d answered %r with %d bytes" % (i, answer["text"], len(answer["payload"]))
        return None
    expect_all_answered(futures, "large", wrong)


def check_last_first(channel, n, size):
    """n answers of size bytes asked at once, far past what the server holds
    for a connection; the last one is waited for before any other is looked
    at (gRPC reads every unary answer as it comes, whatever the caller
    waits on)."""
    call = unary(channel, ECHO)
    futures = [call.future(request(text="last-first-%d" % i, answer_bytes=size),
                           timeout=DEADLINE_S)
               for i in range(n)]
    last = decode_response(futures[-1].result())
    expect(len(last["payload"]) == size, "the last call answered %d bytes" % len(last["payload"]))

    def wrong(i, answer):
        if len(answer["payload"]) != size:
            return "last-first-%d answered %d bytes" % (i, len(answer["payload"]))
        return None
    expect_all_answered(futures, "last-first", wrong)


def check_held(channel, n, hold_ms):
    call = unary(channel, ECHO)
    futures = [call.future(request(text="held-%d" % i, hold_ms=hold_ms), timeout=DEADLINE_S)
               for i in range(n)]

    def wrong(i, answer):
        if answer["text"] != "held-%d" % i:
            return "held-%d answered %r" % (i, answer["text"])
        return None
    expect_all_answered(futures, "held", wrong)


LONG_HOLD_MS = 4000
EXPIRING_CALLS = 128
EXPIRING_HOLD_MS = 8000
EXPIRING_DEADLINE_S = 1.0


def check_expired(channel, n):
    call = unary(channel, ECHO)
    long_call = call.future(request(text="long", hold_ms=LONG_HOLD_MS), timeout=DEADLINE_S)
    expiring = [call.future(request(text="expiring-%d" % i, hold_ms=EXPIRING_HOLD_MS),
                            timeout=EXPIRING_DEADLINE_S)
                for i in range(EXPIRING_CALLS)]
    wrong = []
    for i, future in enumerate(expiring):
        try:
            future.result()
            wrong.append("expiring-%d answered after its deadline" % i)
        except grpc.RpcError as error:
            if error.code() != grpc.StatusCode.DEADLINE_EXCEEDED:
                wrong.append("expiring-%d: %s %s" % (i, error.code(), error.details()))
    expect(not wrong, "%d of %d expiring calls: %s" % (len(wrong), EXPIRING_CALLS,
                                                        "; ".join(wrong[:4])))
    ordinary = [call.future(request(text="ordinary-%d" % i), timeout=DEADLINE_S)
                for i in range(n)]

    def wrong_text(prefix):
        def check(i, answer):
            want = prefix if prefix == "long" else "%s-%d" % (prefix, i)
            if answer["text"] != want:
                return "%s answered %r" % (want, answer["text"])
            return None
        return check
    expect_all_answered(ordinary, "ordinary", wrong_text("ordinary"))
    expect_all_answered([long_call], "long", wrong_text("long"))


def run_check(channel, check):
    name, _, value = check.partition("=")
    if name == "echo":
        check_echo(channel, int(value))
    elif name == "gzip":
        check_echo(channel, int(value), compression=grpc.Compression.Gzip)
    elif name == "deflate":
        check_deflate(channel)
    elif name == "unknown":
        check_unknown(channel)
    elif name == "fail":
        check_fail(channel)
    elif name == "concurrent":
        check_concurrent(channel, int(value))
    elif name == "upload":
        count, _, size = value.partition(":")
        check_upload(channel, int(count), int(size))
    elif name == "large":
        count, _, size = value.partition(":")
        check_large(channel, int(count), int(size))
    elif name == "last-first":
        count, _, size = value.partition(":")
        check_last_first(channel, int(count), int(size))
    elif name == "held":
        count, _, hold_ms = value.partition(":")
        check_held(channel, int(count), int(hold_ms))
    elif name == "expired":
        check_expired(channel, int(value))
    else:
        raise ValueError("unknown check %r" % check)


def main(argv):
    if len(argv) < 3:
        print(__doc__)
        return 2
    options = [
        ("grpc.max_receive_message_length", 16 << 20),
        ("grpc.max_send_message_length", 16 << 20),
        ("grpc.enable_http_proxy", 0),
    ]
    with grpc.insecure_channel("127.0.0.1:%s" % argv[1], options=options) as channel:
        for check in argv[2:]:
            try:
                run_check(channel, check)
            except grpc.RpcError as error:
                print("%s: call failed: %s %s" % (check, error.code(), error.details()))
                return 1
            except AssertionError as error:
                print("%s: %s" % (check, error))
                return 1
            print("%s: ok" % check)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
