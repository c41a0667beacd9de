"""The signer's cache (tools/make_package.py, $NORVO_SIGN_CACHE): the parallel system tests
share signed packages through it, so a wrong hit would hand a test a package signed with
another key, or another package altogether."""
import concurrent.futures
import io
import pathlib
import sys
import zipfile

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))
import make_package  # noqa: E402


def archive(text):
    return make_package.archive([(make_package.UPDATER_ENTRY, b"#!/bin/sh\n", 0o755),
                                 ("payload.bin", text, 0o644)])


def otacert(signed):
    with zipfile.ZipFile(io.BytesIO(signed)) as zf:
        return zf.read("META-INF/com/android/otacert")


@pytest.fixture
def counted(monkeypatch, tmp_path):
    """The cache in tmp_path, and the list of the signer's real runs."""
    monkeypatch.setenv("NORVO_SIGN_CACHE", str(tmp_path / "cache"))
    (tmp_path / "cache").mkdir()
    runs = []
    real = make_package._signapk_run

    def run(data, key_dir):
        runs.append((data, key_dir))
        return real(data, key_dir)

    monkeypatch.setattr(make_package, "_signapk_run", run)
    return runs


def test_same_package_and_key_is_signed_once_even_when_asked_at_once(tmp_path, counted):
    keys = str(tmp_path / "key")
    data = archive(b"one")
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        results = list(pool.map(lambda _: make_package.signapk_sign(data, keys), range(4)))
    assert len(counted) == 1
    assert all(r == results[0] for r in results)
    with zipfile.ZipFile(io.BytesIO(results[0])) as zf:
        assert zf.read("payload.bin") == b"one"
    with open(tmp_path / "key" / "testkey.x509.pem", "rb") as f:
        cert = f.read()
    assert otacert(results[0]) == cert


@pytest.mark.parametrize("change", ["package", "key"])
def test_another_package_or_key_is_signed_anew(tmp_path, counted, change):
    first_keys, data = str(tmp_path / "key1"), archive(b"one")
    first = make_package.signapk_sign(data, first_keys)
    other_keys = str(tmp_path / "key2") if change == "key" else first_keys
    other_data = archive(b"two") if change == "package" else data
    other = make_package.signapk_sign(other_data, other_keys)
    assert len(counted) == 2 and other != first
    with open(pathlib.Path(other_keys) / "testkey.x509.pem", "rb") as f:
        assert otacert(other) == f.read()
    with zipfile.ZipFile(io.BytesIO(other)) as zf:
        assert zf.read("payload.bin") == (b"two" if change == "package" else b"one")
    # Both stay: asking again for either runs no signer.
    assert make_package.signapk_sign(data, first_keys) == first
    assert make_package.signapk_sign(other_data, other_keys) == other
    assert len(counted) == 2


def test_without_the_cache_every_call_signs(tmp_path, monkeypatch, counted):
    monkeypatch.delenv("NORVO_SIGN_CACHE")
    keys, data = str(tmp_path / "key"), archive(b"one")
    make_package.signapk_sign(data, keys)
    make_package.signapk_sign(data, keys)
    assert len(counted) == 2
    assert not any((tmp_path / "cache").iterdir())
