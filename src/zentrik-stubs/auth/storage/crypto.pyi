"""AES-256-GCM 加密工具模块。

为凭证文件提供对称加密能力，密钥自动生成并存储在本地文件中。

密文格式：[12 字节随机 nonce] + [AES-GCM 密文]（密文末尾含 16 字节认证标签）。
"""

from os import PathLike
from pathlib import Path
from typing import Final, final

__version__: Final[str]  # the zentrik-native distribution's version

# cryptography.exceptions.InvalidTag wherever cryptography can be imported;
# elsewhere (an isolated sub-interpreter) a stand-in of this module's.
InvalidTag: type[Exception]

@final
class Crypto:
    """AES-256-GCM 加密器，管理密钥的生成、加载和加解密操作。"""

    def __init__(self, key_path: str | PathLike[str]) -> None: ...
    @property
    def _key_path(self) -> Path: ...
    @property
    def _key(self) -> bytes: ...
    def _load_or_create_key(self) -> bytes: ...
    def encrypt(self, plaintext: str) -> bytes: ...
    def decrypt(self, ciphertext: bytes) -> str: ...
