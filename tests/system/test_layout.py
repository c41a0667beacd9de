"""The tree's layering: the lower layers (records, storage, cipher, telemetry, the uploader,
the probe, the host stand-ins, the vendor libraries) never include a header of the update
agent's request/ folder, except the vendor declarations in request/vendor/ that the vendor
libraries implement. A file that does pulls the agent's events into programs and libraries
that must not depend on them."""
import pathlib
import re

REPO = pathlib.Path(__file__).resolve().parents[2]
LOWER = ("norvotools", "quillon", "partver", "platform", "vendor")
INCLUDE = re.compile(r'^\s*#\s*include\s+"(request/[^"]+)"', re.M)


def test_lower_layers_include_no_header_of_the_agent():
    offenders = []
    for folder in LOWER:
        for path in sorted((REPO / folder).rglob("*")):
            if path.suffix not in (".h", ".cpp", ".c", ".cc"):
                continue
            for header in INCLUDE.findall(path.read_text(errors="replace")):
                if not header.startswith("request/vendor/"):
                    offenders.append(f"{path.relative_to(REPO)}: {header}")
    assert offenders == []
    # The rule sees what it is meant to: the vendor declarations are included below.
    seen = [p for folder in LOWER for p in (REPO / folder).rglob("*.cpp")
            if "request/vendor/" in p.read_text(errors="replace")]
    assert seen
