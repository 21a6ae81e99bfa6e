"""Adds the licence texts of the libraries a repaired wheel bundles, and declares them.

usage: python scripts/wheel_licenses.py REPAIRED_WHEEL RAW_WHEEL

Every shared library that auditwheel grafted into ``ferrow.libs/`` is looked up in
``LIBRARIES`` by name (a library missing from the table stops the build: its licence must be
known before the wheel is distributed). Its licence texts are written to
``<dist-info>/licenses/bundled/``: the texts kept in ``licenses/`` of this repository, the full
texts of the licences named (from ``/usr/share/common-licenses``), and, when a Debian package
provided the library, that package's copyright file. The metadata's ``License-Expression``
becomes ferrow's own licence AND every bundled one, each text gets a ``License-File`` line,
and RECORD is rewritten. The wheel is replaced in place.
"""

import base64
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent.parent
COMMON = Path("/usr/share/common-licenses")
GCC_RUNTIME = "GPL-3.0-or-later WITH GCC-exception-3.1"

# library name -> (SPDX expression, texts: files under licenses/ or common licence names)
LIBRARIES = {
    "libsuitesparseconfig": ("BSD-3-Clause", ["suitesparse/SuiteSparse_config.txt"]),
    "libamd": ("BSD-3-Clause", ["suitesparse/AMD.txt"]),
    "libcamd": ("BSD-3-Clause", ["suitesparse/CAMD.txt"]),
    "libcolamd": ("BSD-3-Clause", ["suitesparse/COLAMD.txt"]),
    "libccolamd": ("BSD-3-Clause", ["suitesparse/CCOLAMD.txt"]),
    "libbtf": ("LGPL-2.1-or-later", ["suitesparse/BTF.txt", "LGPL-2.1"]),
    # CHOLMOD's modules are LGPL (Check, Cholesky, Utility, Partition) and GPL (MatrixOps,
    # Modify, Supernodal); its headers and the METIS it carries are Apache-2.0.
    "libcholmod": ("LGPL-2.1-or-later AND GPL-2.0-or-later AND Apache-2.0",
                   ["suitesparse/CHOLMOD.txt", "suitesparse/SuiteSparse_metis.txt",
                    "LGPL-2.1", "GPL-2", "Apache-2.0"]),
    "libspqr": ("GPL-2.0-or-later", ["suitesparse/SPQR.txt", "GPL-2"]),
    "libopenblas": ("BSD-3-Clause", []),  # texts: the copyright file of its Debian package
    "libopenblasp-r0": ("BSD-3-Clause", []),
    "libgfortran": (GCC_RUNTIME, ["GPL-3"]),
    "libgomp": (GCC_RUNTIME, ["GPL-3"]),
    "libquadmath": ("LGPL-2.1-or-later", ["LGPL-2.1"]),
}


def stem(name):
    """``libspqr-1a2b3c4d.so.4.3.4``, ``libspqr.so.4`` -> ``libspqr``; auditwheel names a
    grafted file after the file it copied: ``libopenblasp-r0-234bd196.3.21.so``."""
    return re.match(r"(.+?)(-[0-9a-f]{8})?(\.|$)", name).group(1)


def system_paths(raw_wheel):
    """Library stem -> the file it was loaded from, for every library the raw extensions need."""
    found = {}
    with tempfile.TemporaryDirectory() as tmp:
        with zipfile.ZipFile(raw_wheel) as z:
            z.extractall(tmp)
        for so in Path(tmp).rglob("*.so"):
            out = subprocess.run(["ldd", str(so)], capture_output=True, text=True).stdout
            for line in out.splitlines():
                m = re.match(r"\s*(\S+) => (/\S+)", line)
                if m:
                    real = os.path.realpath(m.group(2))
                    found[stem(m.group(1))] = found[stem(Path(real).name)] = real
    return found  # ldd lists indirect needs too (libgfortran through OpenBLAS)


def debian_copyright(path):
    """The copyright file of the Debian package that installed `path`, or None."""
    r = subprocess.run(["dpkg", "-S", path], capture_output=True, text=True)
    if r.returncode != 0:
        return None
    pkg = r.stdout.split(":")[0].strip()
    f = Path("/usr/share/doc") / pkg / "copyright"
    if not f.is_file():
        return None
    return Path(os.path.realpath(f)).parent.name, f  # libgomp1 -> gcc-12-base: one text


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main(wheel, raw_wheel):
    with zipfile.ZipFile(wheel) as z:
        files = {i.filename: z.read(i) for i in z.infolist()}
        infos = {i.filename: i for i in z.infolist()}
    dist_info = next(n.split("/")[0] for n in files if n.endswith(".dist-info/METADATA"))
    grafted = sorted({stem(Path(n).name) for n in files
                      if n.startswith("ferrow.libs/") and ".so" in n})
    unknown = [g for g in grafted if g not in LIBRARIES]
    if unknown:
        sys.exit(f"no licence known for the bundled libraries {unknown}: add them to LIBRARIES "
                 f"in {Path(__file__).name}")
    origins = system_paths(raw_wheel)

    texts = {}  # file name under licenses/bundled/ -> content
    expressions = []
    for lib in grafted:
        expr, sources = LIBRARIES[lib]
        expressions.append(expr)
        for src in sources:
            if src.endswith(".txt"):
                texts[Path(src).name] = (HERE / "licenses" / src).read_bytes()
            else:
                texts[src + ".txt"] = (COMMON / src).read_bytes()
        deb = debian_copyright(origins[lib]) if lib in origins else None
        if deb and deb[1].read_bytes() not in texts.values():
            texts[f"{deb[0]}.copyright.txt"] = deb[1].read_bytes()
        elif not sources:
            sys.exit(f"no licence text found for {lib} ({origins.get(lib, 'origin unknown')})")

    meta = files[f"{dist_info}/METADATA"].decode()
    own = re.search(r"^License-Expression: (.+)$", meta, re.M)
    if not own:
        sys.exit("the metadata has no License-Expression")
    terms = []  # every expression in the table is a conjunction: the union is one too
    for expr in [own.group(1)] + expressions:
        for t in expr.split(" AND "):
            if t not in terms:
                terms.append(t)
    meta = meta.replace(own.group(0), "License-Expression: " + " AND ".join(terms))
    extra = "".join(f"License-File: bundled/{n}\n" for n in sorted(texts))
    head, sep, body = meta.partition("\n\n")
    meta = head + "\n" + extra.rstrip("\n") + sep + body
    files[f"{dist_info}/METADATA"] = meta.encode()
    for n, data in texts.items():
        files[f"{dist_info}/licenses/bundled/{n}"] = data

    record = f"{dist_info}/RECORD"
    lines = [record_line(n, d) for n, d in files.items()
             if n != record and not n.endswith("/")] + [f"{record},,"]
    files[record] = ("\n".join(lines) + "\n").encode()
    tmp = wheel + ".tmp"
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as z:
        for n, data in files.items():
            info = infos.get(n) or zipfile.ZipInfo(n, date_time=(2026, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            if n not in infos:
                info.external_attr = 0o644 << 16
            z.writestr(info, data)
    os.replace(tmp, wheel)
    print(f"[wheel] licences of {', '.join(grafted)}: License-Expression: {' AND '.join(terms)}",
          file=sys.stderr)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
