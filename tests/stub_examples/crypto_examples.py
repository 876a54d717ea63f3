# Checked by mypy against the crypto stub (see tests/test_crypto.py).
import pathlib

from zentrik.auth.storage.crypto import Crypto


def round_trip(directory: pathlib.Path) -> str:
    crypto = Crypto(directory / "credential.key")
    same = Crypto(key_path=str(directory / "credential.key"))
    value: bytes = crypto.encrypt("secret")
    key: bytes = crypto._key
    where: pathlib.Path = crypto._key_path
    assert key == same._load_or_create_key() and where.name == "credential.key"
    text: str = same.decrypt(value)
    return text
