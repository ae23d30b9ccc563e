"""Runs the numpy reader of docs/FORMAT.md on a converted sample collection and
holds it, and the byte layout the document gives, against npxcheck and the raw files.

usage: format_doc_test.py CONVERTER GENERATOR NPXCHECK DATA_DIR FORMAT_MD
"""
import pathlib
import re
import struct
import subprocess
import sys
import tempfile

converter, generator, npxcheck, data_dir, format_md = sys.argv[1:6]
sys.dont_write_bytecode = True  # nothing written into the source tree
from converted_sample import convert_sample  # noqa: E402

text = pathlib.Path(format_md).read_text(encoding="utf-8")
block = re.search(r"<!-- load_session: begin -->\n```python\n(.*?)```\n<!-- load_session: end -->",
                  text, re.S)
assert block, f"{format_md}: no load_session block between its markers"
namespace = {}
exec(compile(block.group(1), f"{format_md} (load_session)", "exec"), namespace)
load_session = namespace["load_session"]

with tempfile.TemporaryDirectory(prefix="erp2npx-format-") as tmp:
    tmp = pathlib.Path(tmp)
    work = convert_sample(tmp, converter, generator, data_dir)

    bins = sorted(work.rglob("*.bin"))
    layouts = {tuple(path.stem.split("_")[2:]) for path in bins}
    assert layouts == {("06", "06"), ("04", "05"), ("06", "07")}, layouts
    name = re.compile(r"DB_\d\d+/Subject_(\d\d+)/Subj\1_\d\d+_-?\d\d+_-?\d\d+\.bin")
    for path in bins:
        relative = str(path.relative_to(work))
        assert name.fullmatch(relative), f"{relative}: not named as documented"
        epochs, is_target = load_session(str(path), str(path.with_suffix(".npx")))

        check = subprocess.run([npxcheck, str(work), "--plot", str(tmp / "plot.svg"),
                                "--session", path.stem], capture_output=True, text=True)
        counts = re.search(r": 1 session, (\d+) target epochs, (\d+) standard epochs", check.stdout)
        assert check.returncode == 0 and counts, f"{relative}: {check.stdout}"
        targets, standards = int(counts.group(1)), int(counts.group(2))
        assert epochs.dtype == "<f4" and epochs.shape == (targets + standards, 128, 8), \
            f"{relative}: {epochs.dtype} {epochs.shape}, npxcheck {targets} + {standards}"
        assert is_target.dtype == bool and int(is_target.sum()) == targets, relative

        raw = path.read_bytes()
        count = len(epochs)
        assert raw[:8] == b"NPXFILE\0", relative
        assert struct.unpack_from("<6I", raw, 8) == (17, 144, 128, 128 * count, 8, 0), relative
        names = [raw[32 + 16 * c:48 + 16 * c].rstrip(b"\0") for c in range(8)]
        assert names == [b"Fz", b"Cz", b"Pz", b"P3", b"P4", b"PO7", b"PO8", b"Oz"], relative
        assert len(raw) == 160 + 4096 * count, relative
        for k, t, c in [(0, 0, 0), (count - 1, 127, 7), (count // 2, 61, 3), (1, 5, 6)]:
            offset = 160 + 4096 * k + 4 * (8 * t + c)
            assert epochs[k, t, c].tobytes() == raw[offset:offset + 4], f"{relative}: [{k},{t},{c}]"
print(f"{len(bins)} sessions read as documented")
