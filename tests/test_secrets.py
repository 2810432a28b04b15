"""Secrets stay out of recordings: every argument the header marks secret and
the encrypted token are written as a marker (NULL or not, length), whichever
way the module reaches them, unless VY_RECORD_SECRETS=keep; a replay of a
redacted recording answers the strategy as the live session did."""
import base64
import json

import pytest
import vystandin

from recordings import keep_as_seed, replay, run_recorded, staged  # noqa: F401

# Every secret of the session, each distinct, so that a leak names itself.
SECRETS = {
    "token": b"tok-3f9a1c77e2d4",
    "apitoken": b"api-5d0b9e61",
    "bus password": b"bus-pw-77Qz",
    "ctp password": b"ctp-pw-12Zk9",
    "tls key": b"-----TLS KEY 9x9x8y8y-----",
    "direct bus password": b"direct-bus-pw-4471",
    "direct tls key": b"direct-tls-key-q0q0",
    "encrypted token": b"ENC(8843aa1f0cde)",
}

# The strategy's side of the session: every secret through the decorated
# wrappers and the direct exports, amid calls that are no secret. Live, it
# programs the library behind the recorder; in replay the recording answers.
SESSION = """
import json, os, sys
import vy.csdk.c_sdk as c
import vystandin

S = {k: v.encode("latin-1") for k, v in json.loads(sys.argv[-1]).items()}
LIVE = os.environ.get("VY_RECORD_TARGET")
si = vystandin.StandIn(LIVE) if LIVE else vystandin.StandIn()
si.reset()
if LIVE:
    si.set_text("vyi_get_encrypted_token", S["encrypted token"])
    si.set_status("vyi_set_token", 7)
    si.set_response("vyi_get_orders_pb", b"orders for " + b"x" * 40)
    si.set_text("vyi_get_c_version", b"9.9.9")
    si.push_event("tick", b"a tick")
else:
    si.load_call_file(sys.argv[1])
    si.load_event_file(sys.argv[2])

seen = []
c.py_vyi_set_data_callback(lambda t, p: seen.append(["event", t, p.hex()]))
seen.append(["set_token", c.py_vyi_set_token(S["token"].decode())])
seen.append(["set_apitoken", c.py_vyi_set_apitoken(S["apitoken"])])
seen.append(["set_bus_info", c.py_vyi_set_bus_info("bus:1", "bususer", S["bus password"].decode())])
seen.append(["set_ctp_md_info", c.py_vyi_set_ctp_md_info(b"tcp://front", b"ctpuser", S["ctp password"])])
seen.append(["set_bus_secure", c.py_vyi_set_bus_secure(1, "ca.pem", "cert.pem", S["tls key"].decode(), True)])
seen.append(["direct set_bus_info", c.vyi_set_bus_info(b"bus:2", b"bususer2", S["direct bus password"])])
seen.append(["direct set_bus_secure", c.vyi_set_bus_secure(2, b"ca2", b"cert2", S["direct tls key"], False)])
seen.append(["orders", c.py_vyi_get_orders(b"req")[0], c.py_vyi_get_orders(b"req")[1].hex()])
seen.append(["version", c.vyi_get_c_version().hex()])
seen.append(["run", c.py_vyi_run()])
tokens = [c.py_vyi_get_encrypted_token(), c.vyi_get_encrypted_token()]
journal = [[call.fn, repr(call.args)] for call in si.journal()]
print(json.dumps({"seen": seen, "tokens": [t.hex() for t in tokens], "journal": journal}))
"""


def session_args():
    return [json.dumps({k: v.decode("latin-1") for k, v in SECRETS.items()})]


def encodings(secret):
    """The secret's bytes, and its base64 as it appears wherever it starts in
    a longer encoded run: at offsets 0, 1 and 2 of a three-byte group, the
    digits that depend on the secret alone."""
    yield "raw", secret
    for k in range(3):
        enc = base64.b64encode(b"\0" * k + secret)
        first, end = -(-8 * k // 6), 8 * (k + len(secret)) // 6
        yield f"base64 at offset {k}", enc[first:end]


def record(staged, tmp_path, secrets=None):
    events, calls = tmp_path / "s.events", tmp_path / "s.calls"
    r = run_recorded(staged, SESSION, events=events, calls=calls, secrets=secrets, args=session_args())
    assert (r.returncode, r.stderr) == (0, ""), r.stderr
    return json.loads(r.stdout), events, calls


@pytest.fixture(scope="module")
def redacted(staged, tmp_path_factory):
    live, events, calls = record(staged, tmp_path_factory.mktemp("redacted"))
    keep_as_seed(events, calls)
    return live, events, calls


@pytest.mark.parametrize("secrets", [None, "", "no", "KEEP", "keep "], ids=["unset", "empty", "no", "KEEP", "keep-space"])
def test_no_secret_reaches_either_file(staged, tmp_path, secrets):
    _, events, calls = record(staged, tmp_path, secrets)
    files = {"events": events.read_bytes(), "calls": calls.read_bytes()}
    assert b"a tick" in files["events"]  # the recording is there
    for name, secret in SECRETS.items():
        for how, needle in encodings(secret):
            for which, data in files.items():
                assert needle not in data, f"{name} ({how}) in the {which} file"


def test_each_secret_is_a_marker_keeping_null_and_length(redacted):
    _, _, calls = redacted
    lines = [json.loads(line) for line in calls.read_text().splitlines()]
    by_fn = {}
    for line in sorted(lines, key=lambda c: c["seq"]):
        by_fn.setdefault(line["fn"], []).append(line)

    def marker(secret):
        return {"k": "text", "null": False, "redacted": True, "len": len(SECRETS[secret])}

    assert by_fn["vyi_set_token"][0]["args"] == [marker("token")]
    assert by_fn["vyi_set_apitoken"][0]["args"] == [marker("apitoken")]
    bus, direct_bus = by_fn["vyi_set_bus_info"]
    assert bus["args"][2] == marker("bus password") and direct_bus["args"][2] == marker("direct bus password")
    assert bus["args"][1] == {"k": "text", "null": False, "b64": base64.b64encode(b"bususer").decode()}
    assert by_fn["vyi_set_ctp_md_info"][0]["args"][2] == marker("ctp password")
    secure, direct_secure = by_fn["vyi_set_bus_secure"]
    assert secure["args"][3] == marker("tls key") and direct_secure["args"][3] == marker("direct tls key")
    assert secure["args"][4] == {"k": "bool", "v": True}
    tokens = by_fn["vyi_get_encrypted_token"]
    assert [t["ret"] for t in tokens] == [marker("encrypted token")] * 2
    assert "b64" not in json.dumps(by_fn["vyi_get_encrypted_token"])


def test_keep_writes_every_secret(staged, tmp_path):
    live, _, calls = record(staged, tmp_path, "keep")
    text = calls.read_bytes()
    for name, secret in SECRETS.items():
        assert base64.b64encode(secret) in text, name
    assert b"redacted" not in text
    assert live["tokens"] == [SECRETS["encrypted token"].hex()] * 2


def test_a_replay_of_a_redacted_recording_answers_as_the_session_did(redacted):
    live, events, calls = redacted
    r = replay(SESSION, calls, events, *session_args())
    assert r.returncode == 0, r.stderr
    replayed = json.loads(r.stdout)
    assert replayed["seen"] == live["seen"]
    assert ["set_token", 7] in live["seen"]  # the programmed status came through
    # The redacted text replays as that many '*'.
    assert replayed["tokens"] == [(b"*" * len(SECRETS["encrypted token"])).hex()] * 2


def test_the_replay_journal_shows_recorded_secrets_redacted(redacted):
    live, events, calls = redacted
    r = replay(SESSION, calls, events, *session_args())
    assert r.returncode == 0, r.stderr
    journal = {}
    for fn, args in json.loads(r.stdout)["journal"]:
        journal.setdefault(fn, []).append(args)
    assert journal["vyi_set_token"] == ["[Redacted(length=16, null=False)]"]
    assert journal["vyi_set_ctp_md_info"] == ["[b'tcp://front', b'ctpuser', Redacted(length=12, null=False)]"]
    assert journal["vyi_set_bus_secure"] == ["[1, b'ca.pem', b'cert.pem', Redacted(length=26, null=False), True]",
                                             "[2, b'ca2', b'cert2', Redacted(length=19, null=False), False]"]
    assert all(secret.decode() not in r.stdout for secret in SECRETS.values())
    # The live library saw the secrets themselves.
    assert repr(SECRETS["token"]) in dict(live["journal"])["vyi_set_token"]


def test_a_secret_past_the_recording_is_journaled_as_given(lib, sdk, tmp_path):
    path = tmp_path / "calls"
    path.write_text('{"seq":0,"fn":"vyi_set_token","args":[{"k":"text","null":true,"redacted":true,"len":0}],'
                    '"ret":{"k":"int","v":3}}\n'
                    '{"seq":1,"fn":"vyi_get_encrypted_token","args":[],'
                    '"ret":{"k":"text","null":true,"redacted":true,"len":0}}\n')
    lib.load_call_file(path)
    assert [sdk.py_vyi_set_token(b"abc"), sdk.py_vyi_set_token(b"abc")] == [3, 0]
    assert sdk.vyi_get_encrypted_token() == b""  # NULL replays as NULL, which the module reads as b""
    [first, second] = lib.calls("vyi_set_token")
    assert first.args == [vystandin.Redacted(3, False)]
    assert second.args == [b"abc"]
