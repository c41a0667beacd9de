"""Two libcryptos in one process: our code uses BoringSSL's libcrypto.so.0, and libcurl's
own dependencies (libssh2) load OpenSSL's libcrypto.so.3. Each side must reach only its
own library. The programs run in the device with every symbol bound at start
(LD_BIND_NOW=1) and the dynamic linker's binding trace (LD_DEBUG=bindings), and the trace
is checked in both directions.
"""
import os
import re
import subprocess

import pytest

BINDING = re.compile(r"binding file (\S+) \[\d+\] to (\S+) \[\d+\]: \S+ symbol `([^']+)'")
BORINGSSL = "/android/libcrypto.so.0"
OPENSSL = "libcrypto.so.3"

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("NORVO_EMULATOR")),
    reason="the libraries are the target's; the host's ldd cannot list libcurl's for it")


def curl_dependencies():
    """Every library libcurl loads (its whole closure), by real path, BoringSSL aside."""
    lib = subprocess.run(["/usr/bin/pkg-config", "--variable=libdir", "libcurl"],
                         capture_output=True, text=True, check=True).stdout.strip()
    curl = next(os.path.join(lib, n) for n in sorted(os.listdir(lib))
                if n.startswith("libcurl-gnutls.so."))
    out = subprocess.run(["ldd", curl], capture_output=True, text=True, check=True).stdout
    paths = {os.path.realpath(curl)}
    for line in out.splitlines():
        m = re.search(r"=> (/\S+)", line)
        if m:
            paths.add(os.path.realpath(m.group(1)))
    assert any(p.endswith(OPENSSL) for p in paths), "libcurl no longer loads OpenSSL"
    return paths


def bindings(device, program):
    res = device.run(["env", "LD_BIND_NOW=1", "LD_DEBUG=bindings", program, "--none"],
                     timeout=120)
    found = []
    for line in (res.stdout + res.stderr).decode(errors="replace").splitlines():
        m = BINDING.search(line)
        if m:
            found.append((m.group(1), m.group(2), m.group(3)))
    assert found, "no binding trace"
    return found


@pytest.mark.parametrize("program", ["corvane", "quillon"])
def test_our_objects_never_bind_to_openssl(build_dir, device, program):
    found = bindings(device, program)
    ours = {str(build_dir / "bin" / program), program}
    ours |= {str(build_dir / "lib" / n) for n in os.listdir(build_dir / "lib")}
    wrong = [b for b in found if b[0] in ours and b[1].endswith(OPENSSL)]
    assert wrong == []
    if program == "corvane":
        # The cipher, digests and the package check do reach BoringSSL.
        assert any(b[0] in ours and b[1].endswith(BORINGSSL) for b in found)


@pytest.mark.parametrize("program", [
    pytest.param("corvane", marks=pytest.mark.xfail(
        strict=True, reason="BoringSSL's libcrypto.so.0 comes first in the global scope and has "
        "no symbol versions, so libssh2's versioned OpenSSL references, and OpenSSL's own, bind "
        "to it; see the closing note of the TLS issue")),
    "quillon",
])
def test_curl_dependencies_never_bind_to_boringssl(build_dir, device, program):
    found = bindings(device, program)
    deps = curl_dependencies()
    wrong = sorted({(f, s) for f, t, s in found
                    if os.path.realpath(f) in deps and t.endswith(BORINGSSL)})
    if wrong and program == "quillon":
        # quillon needs no BoringSSL, but a build that keeps the library loaded (the
        # sanitizer build links every library it names) meets corvane's known fault.
        pytest.xfail(f"BoringSSL is loaded in quillon too: {len(wrong)} bindings")
    assert wrong == [], f"{len(wrong)} bindings, e.g. {wrong[:5]}"
