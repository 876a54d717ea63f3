"""The package as installed: one version everywhere."""

from __future__ import annotations

import importlib
import pathlib
import re
from importlib import metadata

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULES = ["zentrik.seller_sprite.api.payloads", "zentrik.seller_sprite.api.categories", "zentrik.auth.storage.crypto"]


def project_version() -> str:
    found = re.search(r'^\[project\]$.*?^version = "([^"]+)"$', (ROOT / "pyproject.toml").read_text(), re.M | re.S)
    assert found, "pyproject.toml names no version"
    return found.group(1)


@pytest.mark.parametrize("name", MODULES)
def test_each_module_carries_the_projects_version(name):
    assert importlib.import_module(name).__version__ == metadata.version("zentrik-native") == project_version()
