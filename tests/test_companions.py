"""The small companion modules: utils, settings, sessions and the identity package."""

from datetime import datetime, timedelta, timezone

import pytest

from quillmoth.exceptions import HTTPException, NotFound
from quillmoth.sessions import Session
from quillmoth.settings.encodings import encodings_settings
from quillmoth.settings.json import json_settings
from quillmoth.utils import get_class_instance_hierarchy
from quillmoth.utils.time import utcnow
from vellumgate import Identity


@pytest.fixture(autouse=True)
def reset_settings():
    yield
    json_settings.reset()
    encodings_settings.reset()


# ---------------------------------------------------------------------------------------------
# utils


@pytest.mark.parametrize(
    "instance, expected",
    [
        (NotFound(), (NotFound, HTTPException, Exception, BaseException, object)),
        (KeyError(), (KeyError, LookupError, Exception, BaseException, object)),
        (True, (bool, int, object)),
    ],
)
def test_class_instance_hierarchy_is_most_specific_first(instance, expected):
    assert tuple(get_class_instance_hierarchy(instance)) == expected


def test_class_instance_hierarchy_follows_method_resolution_order():
    class A(Exception):
        pass

    class B(Exception):
        pass

    class C(A, B):
        pass

    assert tuple(get_class_instance_hierarchy(C())) == (C, A, B, Exception, BaseException, object)


def test_utcnow_is_aware_utc_and_current():
    now = utcnow()
    assert now.utcoffset() == timedelta(0)
    assert abs(now - datetime.now(timezone.utc)) < timedelta(seconds=5)
    # Used to build cookie expiry dates a year back.
    assert (now - timedelta(days=365)).year in (now.year - 1, now.year)


# ---------------------------------------------------------------------------------------------
# JSON settings


def test_json_settings_defaults():
    assert not json_settings.has_custom_loads and not json_settings.has_custom_dumps
    assert json_settings.loads('{"a": [1, 2]}') == {"a": [1, 2]}
    assert json_settings.loads(b"[true]") == [True]
    assert json_settings.dumps({"a": "é"}) == '{"a":"é"}'


def test_json_settings_use_and_reset():
    def loads(text):
        return ("custom", text)

    json_settings.use(loads=loads)
    assert json_settings.has_custom_loads and json_settings.loads is loads
    assert not json_settings.has_custom_dumps  # untouched side keeps its default
    json_settings.use(dumps=str)
    assert json_settings.has_custom_dumps and json_settings.loads is loads
    json_settings.reset()
    assert not json_settings.has_custom_loads and not json_settings.has_custom_dumps


@pytest.mark.parametrize("kwargs", [{"loads": "not callable"}, {"dumps": 1}])
def test_json_settings_reject_non_callables(kwargs):
    with pytest.raises(TypeError):
        json_settings.use(**kwargs)
    assert not json_settings.has_custom_loads and not json_settings.has_custom_dumps


# ---------------------------------------------------------------------------------------------
# Encoding fallback


@pytest.mark.parametrize(
    "body, encodings, expected",
    [
        (b"caf\xe9", None, "café"),  # ISO-8859-1 by default: every byte kept
        (bytearray(b"\xff\xfe"), None, "ÿþ"),
        (memoryview(b"caf\xe9"), None, "café"),
        (b"caf\xe9", ["ascii"], "caf\ufffd"),  # no fallback fits: replacement characters
        (b"caf\xe9", ["ascii", "cp1252"], "café"),
        (b"\x80", ["cp1252"], "€"),
        (b"ok", [], "ok"),
    ],
)
def test_encodings_decode(body, encodings, expected):
    if encodings is not None:
        encodings_settings.use(encodings)
    try:
        bytes(body).decode("utf-8")
        error = None
    except UnicodeDecodeError as exc:
        error = exc
    assert encodings_settings.decode(body, error) == expected


def test_encodings_use_checks_names_up_front():
    with pytest.raises(LookupError):
        encodings_settings.use(["no-such-encoding"])
    with pytest.raises(TypeError):
        encodings_settings.use([b"latin-1"])
    assert encodings_settings.encodings == ("iso-8859-1",)


# ---------------------------------------------------------------------------------------------
# Session


def test_session_reading_does_not_modify():
    session = Session({"user": 1})
    assert session["user"] == 1 and session.get("missing") is None and "user" in session
    assert list(session) == ["user"] and len(session) == 1 and dict(session) == {"user": 1}
    assert session.pop("missing", None) is None
    assert session.modified is False


@pytest.mark.parametrize(
    "change, expected",
    [
        (lambda s: s.__setitem__("b", 2), {"a": 1, "b": 2}),
        (lambda s: s.set("a", 3), {"a": 3}),
        (lambda s: s.__delitem__("a"), {}),
        (lambda s: s.pop("a"), {}),
        (lambda s: s.update({"c": 3}), {"a": 1, "c": 3}),
        (lambda s: s.setdefault("d", 4), {"a": 1, "d": 4}),
        (lambda s: s.clear(), {}),
        (lambda s: s.popitem(), {}),
        (lambda s: s.mark_modified(), {"a": 1}),
    ],
)
def test_session_changes_mark_it_modified(change, expected):
    session = Session({"a": 1})
    change(session)
    assert session.modified is True
    assert session.to_dict() == expected


@pytest.mark.parametrize(
    "change",
    [
        lambda s: s.setdefault("a", 9),  # existing key: nothing changes
        lambda s: Session().clear(),
        lambda s: s.pop("zzz", 0),
    ],
)
def test_session_no_op_changes_leave_it_unmodified(change):
    session = Session({"a": 1})
    change(session)
    assert session.modified is False and session.to_dict() == {"a": 1}


def test_session_missing_keys_raise():
    session = Session()
    with pytest.raises(KeyError):
        session["x"]
    with pytest.raises(KeyError):
        del session["x"]
    with pytest.raises(KeyError):
        session.pop("x")
    assert session.modified is False


def test_session_copies_initial_values_and_compares():
    source = {"a": 1}
    session = Session(source)
    source["b"] = 2
    assert session.to_dict() == {"a": 1}
    assert session == {"a": 1} and session == Session({"a": 1}) and session != Session({"a": 2})
    copy = session.to_dict()
    copy["z"] = 1
    assert "z" not in session


# ---------------------------------------------------------------------------------------------
# Identity


def test_default_identity_is_anonymous():
    identity = Identity()
    assert identity.is_authenticated() is False
    assert identity.claims == {} and identity.sub is None and identity.roles == []
    assert identity.authentication_mode is None


def test_identity_with_claims():
    claims = {"sub": "u-1", "name": "Ada", "roles": ["admin", "dev"], "scope": "read"}
    identity = Identity(claims, "JWT Bearer")
    claims["sub"] = "changed"  # the identity holds its own copy
    assert identity.is_authenticated() is True
    assert (identity.sub, identity.name, identity["scope"], identity.get("nope", 0)) == ("u-1", "Ada", "read", 0)
    assert identity.has_claim("roles") and not identity.has_claim("email")
    assert identity.has_claim_value("roles", "dev") and not identity.has_claim_value("roles", "ops")
    assert identity.has_claim_value("scope", "read") and not identity.has_claim_value("missing", None)
    assert identity.has_role("admin") and not identity.has_role("read")
    assert Identity({"roles": "single"}).roles == ["single"]


@pytest.mark.parametrize(
    "claims, mode, authenticated",
    [({"sub": "x"}, None, False), ({}, "Cookie", True), (None, "", False)],
)
def test_identity_authentication_follows_the_mode(claims, mode, authenticated):
    assert Identity(claims, mode).is_authenticated() is authenticated


@pytest.mark.parametrize("args", [(["sub"],), ({}, 1)])
def test_identity_rejects_wrong_types(args):
    with pytest.raises(TypeError):
        Identity(*args)


def test_identity_equality():
    assert Identity({"sub": "a"}, "m") == Identity({"sub": "a"}, "m")
    assert Identity({"sub": "a"}, "m") != Identity({"sub": "a"}, None)
