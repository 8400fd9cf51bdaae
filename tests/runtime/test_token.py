"""The administrator token: made, stored as a digest only, tested, revoked, turned into an authorizer."""
import hashlib
import json
import re

import pytest

import qybridge4.cli.remote as remote

WHITESPACE = "remote token must be a non-empty value without whitespace"
INVALID = "invalid Remote Gateway token configuration"


def record_text(**changes):
    record = {"schema_version": 1, "token_id": "admin", "token_hash": "ab" * 32, "created_at": 1.5}
    record.update(changes)
    return json.dumps({k: v for k, v in record.items() if v is not ...})


def test_generated_tokens_are_url_safe_and_touch_no_file(home):
    first, second = remote.generate_token(), remote.generate_token()
    assert re.fullmatch(r"qyb_admin_[A-Za-z0-9_-]{43}", first) and first != second
    assert not home.exists()


def test_set_writes_the_digest_record_and_revoke_removes_it(home):
    assert remote.has_server_token() is False
    token = "管理员-令牌"
    remote.set_server_token(token)
    text = (home / "remote-server.json").read_text("utf-8")
    digest = hashlib.sha256(token.encode()).hexdigest()
    assert re.fullmatch(r'\{"schema_version":1,"token_id":"admin","token_hash":"%s","created_at":\d+\.\d+\}'
                        % digest, text)
    assert token not in text
    assert remote.has_server_token() is True
    remote.revoke_server_token()
    remote.revoke_server_token()
    assert remote.has_server_token() is False


@pytest.mark.parametrize("token", ["", " lead", "trail ", "in ner", "tab\tbed", "ideo\u3000graphic",
                                   "nbsp\xa0", "sep\x1c", 5, None])
def test_set_refuses_empty_or_whitespace_tokens_and_keeps_the_record(home, token):
    remote.set_server_token("kept")
    before = (home / "remote-server.json").read_bytes()
    with pytest.raises(remote.RemoteRuntimeError, match=f"^{WHITESPACE}$"):
        remote.set_server_token(token)
    assert (home / "remote-server.json").read_bytes() == before


@pytest.mark.parametrize("text", [
    record_text(extra=1), record_text(created_at=...), record_text(schema_version=2),
    record_text(schema_version="1"), record_text(token_id="Admin"), record_text(token_hash="ab" * 31 + "a"),
    record_text(token_hash="AB" * 32), record_text(token_hash=None), record_text(created_at="1.5"),
    record_text(created_at=True), record_text().replace("1.5", "1e400"), "[]", "null", '"admin"',
])
def test_invalid_records_are_refused_by_both_readers(home, text):
    home.mkdir()
    (home / "remote-server.json").write_text(text)
    for reader in (remote.has_server_token, remote.load_authorizer):
        with pytest.raises(remote.RemoteRuntimeError, match=f"^{INVALID}$") as info:
            reader()
        assert info.value.__cause__ is None


@pytest.mark.parametrize("text", [record_text(schema_version=1.0), record_text(schema_version=True),
                                  record_text(created_at=0), record_text(created_at=10 ** 30)])
def test_records_equal_to_the_schema_are_accepted(home, text):
    home.mkdir()
    (home / "remote-server.json").write_text(text)
    assert remote.has_server_token() is True


def test_unreadable_record_reports_the_state_file_error(home):
    home.mkdir()
    (home / "remote-server.json").write_text("{")
    with pytest.raises(remote.RemoteRuntimeError, match="^invalid state file remote-server.json: invalid JSON"):
        remote.has_server_token()


def test_authorizer_accepts_only_the_stored_token_for_every_account(home):
    with pytest.raises(remote.RemoteRuntimeError, match="^Remote Gateway token is not configured$"):
        remote.load_authorizer()
    remote.set_server_token("s3cret")
    authorizer = remote.load_authorizer()
    assert isinstance(authorizer, remote.TokenAuthorizer)
    principal = authorizer.authenticate("Bearer s3cret")
    assert (principal.token_id, principal.accounts) == ("admin", None)
    assert principal.permits("anyone")
    assert authorizer.authenticate("Bearer s3cret2") is None
    assert authorizer.authenticate("Bearer " + remote.generate_token()) is None
