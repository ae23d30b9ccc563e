"""Holds python/npxread.py against a converted sample collection: the raw bytes
and headers (mode "reader"), or MNE's target-minus-standard difference at Pz
against npxcheck's peak table (mode "mne"; exits 77, skipped, without MNE).

usage: npxread_test.py reader|mne CONVERTER GENERATOR NPXCHECK DATA_DIR PYTHON_DIR
"""
import dataclasses
import importlib.util
import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import warnings
import xml.etree.ElementTree as ET

import numpy as np

mode, converter, generator, npxcheck, data_dir, python_dir = sys.argv[1:7]
sys.path.insert(0, python_dir)
sys.dont_write_bytecode = True  # nothing written into the source tree
import npxread  # noqa: E402
from converted_sample import convert_sample  # noqa: E402

SKIPPED = 77


def convert(tmp):
    return convert_sample(tmp, converter, generator, data_dir)


def tree_order(work):
    """Databases, subjects and sessions by number."""
    def numbers(path):
        found = [int(n) for n in re.findall(r"\d+", str(path.relative_to(work)))]
        return found[0], found[1], found[3]
    return sorted(work.rglob("*.bin"), key=numbers)


def encoder_symbols(rows, columns):
    doc = ET.parse(pathlib.Path(data_dir) / f"{rows}by{columns}_QUOLMET.enc").getroot()
    return {(int(s.get("Row")), int(s.get("Column"))): s.get("Name")
            for s in doc.find("Encoder").findall("Symbol")}


def expect_error(path, text, what):
    try:
        npxread.read_session(path)
    except ValueError as error:
        assert text in str(error), f"{what}: {error}"
        return
    raise AssertionError(f"{what}: read without error")


def check_reader(work, tmp):
    paths = tree_order(work)
    assert [s.name for s in npxread.read_tree(work)] == [p.stem for p in paths]
    assert [s.name for s in npxread.read_tree(work, subject=2)] == \
        [p.stem for p in paths if p.parent.name == "Subject_02"] != []
    expect_tree_error = [(work, 99, "no session of Subject_99"), (tmp / "bin", None, "no session")]
    for root, subject, text in expect_tree_error:
        try:
            list(npxread.read_tree(root, subject))
            raise AssertionError(f"{root} {subject}: read without error")
        except ValueError as error:
            assert text in str(error), error

    for index, path in enumerate(paths):
        s = npxread.read_session(path if index % 2 else path.with_suffix(""))
        raw = path.read_bytes()
        _, rate, positions, channels, _ = struct.unpack_from("<5I", raw, 12)
        names = [raw[32 + 16 * c:48 + 16 * c].rstrip(b"\0").decode() for c in range(channels)]
        epochs = positions // 128
        straight = np.fromfile(path, dtype="<f4", offset=160).reshape(epochs, 128, channels)
        assert s.data.dtype == np.float32 and s.data.shape == (epochs, channels, 128), s.name
        assert np.array_equal(s.data.view(np.uint32), straight.transpose(0, 2, 1).view(np.uint32))
        assert (s.sampling_rate, s.channels) == (rate, names), s.name
        db, subject, number, rows, columns = (int(n) for n in re.findall(
            r"-?\d+", f"{path.parent.parent.name} {path.stem}"))
        assert (s.database, s.subject, s.number, s.rows, s.columns) == \
            (db, subject, number, rows, columns), s.name

        doc = ET.parse(path.with_suffix(".npx")).getroot()
        assert s.subject_info == npxread.Subject(int(doc.find("Subject").get("Age")),
                                                 *(doc.find("Subject").get(a) for a in
                                                   ("Sex", "Condition", "Study")))
        code, target = np.full(epochs, -99), np.zeros(epochs, dtype=bool)
        trial, classes = np.full(epochs, -1), []
        for element in doc.find("Events"):
            first = [int(e.get("VSB")) // 128 for e in element]
            name = element.get("Name")
            if name == "Trial":
                for i, e in enumerate(element):
                    trial[int(e.get("VSB")) // 128:int(e.get("VSE")) // 128] = i
            elif element.get("Class") == "2":
                classes.append(name)
            elif name == "Target":
                target[first] = True
            elif name != "Standard":
                code[first] = int(name[3:]) - 1 + (rows if name.startswith("Col") else 0)
        assert np.array_equal(s.code, code) and np.array_equal(s.target, target), s.name
        assert np.array_equal(s.trial, trial) and s.trial_targets == classes, s.name
        if (rows, columns) == (6, 6):
            symbols = classes
        else:
            table = encoder_symbols(rows, columns)
            cells = (re.fullmatch(r"Row(\d+)-Col(\d+)", c).groups() for c in classes)
            symbols = [table[int(a) - 1, int(b) - 1] for a, b in cells]
        assert s.trial_symbols == symbols and all(symbols), f"{s.name}: {s.trial_symbols}"
        assert list(s.symbol) == [symbols[t] for t in trial], s.name
        # The sample dataset numbers sequences so: every row and column once each.
        within = np.arange(epochs) - np.searchsorted(trial, trial)
        assert np.array_equal(s.sequence, within // (rows + columns)), s.name
    return paths


def check_damage(paths, tmp):
    path = paths[0]
    damaged = tmp / "damaged" / "Subj01_01_06_06"
    damaged.parent.mkdir()
    raw, header = path.read_bytes(), path.with_suffix(".npx").read_text(encoding="latin-1")
    positions = struct.unpack_from("<I", raw, 20)[0]
    first_target = (r'(\t\t<Type Class="2" Mode="2" Name="[^T]">\n)'
                    r'(\t\t\t<Event [^\n]*\n)(\t\t</Type>\n)')
    trials = re.search(r'Name="Trial">\n(.*?)\t\t</Type>', header, re.S).group(1)
    last_trial = trials.splitlines()[-1]

    def edit(old, new, count=1):
        assert re.search(old, header), old
        return re.sub(old, new, header, count=count)

    cases = [
        (b"NPXFILX\0" + raw[8:], header, "no NPXFILE magic"),
        (raw[:8] + struct.pack("<I", 18) + raw[12:], header, "format version 18"),
        (raw[:12] + struct.pack("<I", 160) + raw[16:], header, "header length 160"),
        (raw[:24] + struct.pack("<I", 0) + raw[28:], header, "no channels"),
        (raw[:16] + struct.pack("<I", 0) + raw[20:], header, "sampling rate 0"),
        (raw[:20] + struct.pack("<I", positions + 1) + raw[24:], header, "not whole epochs"),
        (raw[:20] + struct.pack("<I", 0xFFFFFF80) + raw[24:], header, "its header describes"),
        (raw[:-1], header, "its header describes"),
        (raw[:20], header, "shorter than the 32-byte header"),
        (raw[:32] + b"F" * 16 + raw[48:], header, "channel name 1 is not zero-terminated"),
        (raw, header + " " * (2 << 20), "far more than a header"),
        (raw, header[:-20], "not an XML document"),
        (raw, header.replace("DOC>", "DOX>"), "root element DOX"),
        (raw, edit("<Version>17<", "<Version>16<"), "FileInfo/Version"),
        (raw, edit("<BaseSR>128<", "<BaseSR>256<"), "Recording/BaseSR"),
        (raw, edit(f"<Samples>{positions}<", "<Samples>128<"), "Recording/Samples"),
        (raw, edit('Name="Pz"', 'Name="P0"'), "Sensor names"),
        (raw, edit("<Subject ", "<Subjekt "), "no Subject element"),
        (raw, edit('Age="', 'Age="x'), "is not a whole number"),
        (raw, header.replace("Events", "Eventz"), "no Events element"),
        (raw, edit('Class="1" Mode="2" Name="Row1"', 'Class="3" Mode="2" Name="Row1"'),
         "not 1 or 2"),
        (raw, edit('<Event VSB="', '<Event VSB="x'), "is not a sample position"),
        (raw, edit('<Event VSB="0" />', '<Event VSB="1" />'), "VSB=\"1\" is not the start"),
        (raw, edit(r'(Name="Row1">\n\t\t\t<Event VSB=")\d+', rf"\g<1>{positions}"),
         f"VSB=\"{positions}\" is not the start"),
        (raw, edit('Name="Row1"', 'Name="Row7"'), "names no row or column"),
        (raw, edit(r'(Name="Row1">\n\t\t\t<Event VSB=")\d+', r"\g<1>0"), "in two code classes"),
        (raw, edit('(Name="Row1">\n\t\t\t)<Event', r"\1<E"), "is in no code class"),
        (raw, edit('Name="Target">\n', 'Name="Target">\n\t\t\t<Event VSB="0" />\n'),
         "epoch 0 is in Target or Standard twice"),
        (raw, edit('(Name="Standard">\n\t\t\t)<Event', r"\1<E"),
         "is in neither Target nor Standard"),
        (raw, edit('(Name="Trial">\n\t\t\t<Event VSB=")0', r"\g<1>128"), "trial 0 spans 128"),
        (raw, edit(r'(Name="Trial">\n\t\t\t<Event VSB="0" VSE=")\d+', r"\g<1>64"),
         "trial 0 spans 0 to 64"),
        (raw, edit(r'(Name="Trial">\n[^\n]*\n\t\t\t<Event VSB="\d+" VSE=")\d+', r"\g<1>0"),
         "trial 1 spans"),
        (raw, header.replace(last_trial, re.sub(r'VSE="(\d+)"',
                                                 lambda m: f'VSE="{int(m[1]) + 128}"', last_trial)),
         "the trials end at"),
        (raw, edit(first_target, r"\1\2\2\3"), "has 2 events, not 1"),
        (raw, edit(first_target, ""), "trial target classes for"),
        (raw, edit(r'(Name="[^T]">\n\t\t\t<Event VSB="\d+" VSE=")\d+', r"\g<1>1"),
         "does not match the trial"),
    ]
    for number, (binary, text, message) in enumerate(cases):
        damaged.with_suffix(".bin").write_bytes(binary)
        damaged.with_suffix(".npx").write_bytes(text.encode("latin-1"))
        expect_error(damaged, message, f"damage {number} ({message})")
    damaged.with_suffix(".npx").unlink()
    try:
        npxread.read_session(damaged)
        raise AssertionError("read without a header")
    except FileNotFoundError:
        pass

    # A 4x5 session renamed, and without its Encoder: the matrix size comes
    # from the Encoder, the symbols from nowhere.
    small = next(p for p in paths if p.stem.endswith("_04_05"))
    original = npxread.read_session(small)
    renamed = tmp / "damaged" / "session"
    shutil.copy(small, renamed.with_suffix(".bin"))
    shutil.copy(small.with_suffix(".npx"), renamed.with_suffix(".npx"))
    s = npxread.read_session(renamed)
    assert (s.rows, s.columns, s.subject, s.number, s.database) == (4, 5, None, None, None)
    assert s.trial_symbols == original.trial_symbols and np.array_equal(s.code, original.code)
    small_header = small.with_suffix(".npx").read_text(encoding="latin-1")
    bare = re.sub(r"<ControlInterface>.*</ControlInterface>", "<ControlInterface />", small_header,
                  flags=re.S)
    assert bare != small_header
    renamed.with_suffix(".npx").write_bytes(bare.encode("latin-1"))
    expect_error(renamed, "no matrix size", "renamed session without its Encoder")
    shutil.copy(small.with_suffix(".bin"), tmp / "damaged" / small.name)
    (tmp / "damaged" / small.with_suffix(".npx").name).write_bytes(bare.encode("latin-1"))
    s = npxread.read_session(tmp / "damaged" / small.name)
    assert s.trial_targets == original.trial_targets and set(s.trial_symbols) == {""}

    # Sequences that cannot be told: code 0 gone from every sequence, and
    # trials of a length that is no whole number of sequences.
    moved = header
    damaged.with_suffix(".bin").write_bytes(raw)
    damaged.with_suffix(".npx").write_bytes(edit('Name="Row1"', 'Name="Col7"').encode("latin-1"))
    assert (npxread.read_session(damaged).sequence == -1).all()
    spans = [(int(b), int(e)) for b, e in re.findall(r'<Event VSB="(\d+)" VSE="(\d+)"', trials)]
    first, second = spans[0][1], spans[1][1]
    # The first trial's last epoch moves to the second: both spans and target classes.
    for begin, end, shift in ((0, first, (0, -128)), (0, first - 127, (0, -128)),
                              (first, second, (-128, 0)), (first, second - 127, (-128, 0))):
        old = f'VSB="{begin}" VSE="{end}"'
        assert old in moved, old
        moved = moved.replace(old, f'VSB="{begin + shift[0]}" VSE="{end + shift[1]}"')
    damaged.with_suffix(".npx").write_bytes(moved.encode("latin-1"))
    s = npxread.read_session(damaged)
    assert (s.sequence[:second // 128] == -1).all() and (s.sequence[second // 128:] >= 0).all()


def peak_row(svg, channel):
    """Latency and amplitude of the channel's row of npxcheck's peak table,
    and the amplitude's decimals and unit."""
    unit = re.search(r"difference \((µV|uV|mV|V)\)", svg)
    for row in re.findall(r'<g class="peak-row">(.*?)</g>', svg):
        cells = re.findall(r">([^<]*)</text>", row)
        if cells and cells[0] == channel:
            latency = next(c for c in cells[1:] if re.fullmatch(r"\d+(\.\d+)?", c))
            amplitude = next(c for c in cells[1:] if re.fullmatch(r"[+\-−]\d+(\.\d+)?", c))
            decimals = len(amplitude.partition(".")[2])
            scale = {"V": 1, "mV": 1e3}.get(unit.group(1) if unit else "µV", 1e6)
            return float(latency), float(amplitude.replace("−", "-")), decimals, scale
    raise AssertionError(f"no peak row for {channel}")


def check_mne(work, tmp):
    import mne
    sessions = list(npxread.read_tree(work))
    assert npxread.infer_unit(sessions) == "uV"
    epochs = npxread.to_mne(sessions)
    stored = np.concatenate([s.data for s in sessions])
    assert np.array_equal(epochs.get_data(), stored.astype(np.float64) * 1e-6)
    assert epochs.ch_names == sessions[0].channels and epochs.info["sfreq"] == 128
    assert set(epochs.get_channel_types()) == {"eeg"} and epochs.tmin == 0
    positions = epochs.get_montage().get_positions()["ch_pos"]
    assert list(positions) == epochs.ch_names
    assert all(np.isfinite(p).all() for p in positions.values())
    target = np.concatenate([s.target for s in sessions])
    assert epochs.event_id == {"target": 1, "standard": 2}
    assert np.array_equal(epochs.events[:, 2], np.where(target, 1, 2))
    metadata = epochs.metadata
    assert list(metadata.columns) == ["session", "trial", "sequence", "code", "symbol", "target"]
    for column in ("trial", "sequence", "code", "symbol", "target"):
        expected = np.concatenate([getattr(s, column) for s in sessions])
        assert list(metadata[column]) == list(expected), column
    assert list(metadata["session"]) == [s.name for s in sessions for _ in s.code]

    # The same tree stored in volts and in millivolts, and a unit given.
    for unit, scale in (("V", 1e-6), ("mV", 1e-3)):
        for s in sessions:
            s.data = s.data * np.float32(scale)
        assert npxread.infer_unit(sessions) == unit
        assert np.allclose(npxread.to_mne(sessions).get_data(), epochs.get_data(), rtol=1e-6)
        for s in sessions:
            s.data = s.data / np.float32(scale)
    assert np.array_equal(npxread.to_mne(sessions[:1], unit="V").get_data(),
                          sessions[0].data.astype(np.float64))
    renamed = dataclasses.replace(sessions[1], channels=sessions[1].channels[::-1])
    for given, unit, message in (([], "auto", "no sessions"),
                                 (sessions, "volt", "use V, mV, uV or auto"),
                                 ([sessions[0], renamed], "auto", "rate differ")):
        try:
            npxread.to_mne(given, unit=unit)
            raise AssertionError(f"{message}: converted")
        except ValueError as error:
            assert message in str(error), error
    pandas, sys.modules["pandas"] = sys.modules.get("pandas"), None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert npxread.to_mne(sessions[0]).metadata is None
    sys.modules["pandas"] = pandas
    assert any("pandas is not installed" in str(w.message) for w in caught), caught

    difference = mne.combine_evoked([epochs["target"].average(), epochs["standard"].average()],
                                    weights=[1, -1])
    _, latency, amplitude = difference.copy().pick(["Pz"]).get_peak(mode="abs",
                                                                    return_amplitude=True)
    plot = tmp / "erp.svg"
    run = subprocess.run([npxcheck, str(work), "--plot", str(plot)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    printed_latency, printed_amplitude, decimals, scale = peak_row(plot.read_text("utf-8"), "Pz")
    assert abs(latency * 1000 - printed_latency) <= 1000 / 128 / 2, (latency, printed_latency)
    assert abs(amplitude * scale - printed_amplitude) <= 0.5 * 10 ** -decimals + 1e-9, \
        (amplitude, printed_amplitude)
    # The example of docs/FORMAT.md, run in the tree, prints Subject_01's peak.
    text = (pathlib.Path(python_dir).parent / "docs" / "FORMAT.md").read_text("utf-8")
    example = re.search(r"## Reading with `npxread`.*?```python\n(.*?)```", text, re.S).group(1)
    run = subprocess.run([sys.executable, "-c", example], cwd=work, capture_output=True, text=True,
                         env={**os.environ, "PYTHONPATH": python_dir, "PYTHONDONTWRITEBYTECODE": "1"})
    assert len(example.splitlines()) == 5 and run.returncode == 0, run.stderr
    assert re.fullmatch(r"\('Pz', [0-9.]+, -?[0-9.e-]+\)\n", run.stdout), run.stdout
    print(f"Pz: MNE {latency * 1000:.4f} ms {amplitude:+.4e} V, "
          f"npxcheck {printed_latency} ms {printed_amplitude:+} (x{scale:g})")


if mode == "mne" and importlib.util.find_spec("mne") is None:
    print("MNE (python3-mne) is not installed: skipped")
    sys.exit(SKIPPED)
with tempfile.TemporaryDirectory(prefix="erp2npx-npxread-") as tmp:
    tmp = pathlib.Path(tmp)
    work = convert(tmp)
    if mode == "reader":
        paths = check_reader(work, tmp)
        check_damage(paths, tmp)
        print(f"{len(paths)} sessions read against their bytes and headers")
    else:
        check_mne(work, tmp)
