"""Reads the sessions erp2npx writes (a ``.bin`` epoch file and its ``.npx``
header) into numpy, and hands them to MNE-Python.

    import mne, npxread
    session = npxread.read_session("DB_00/Subject_01/Subj01_01_06_06")  # or the .bin path
    epochs = npxread.to_mne(npxread.read_tree(".", subject=1))          # in volts
    evoked = [epochs["target"].average(), epochs["standard"].average()]
    difference = mne.combine_evoked(evoked, [1, -1])              # target - standard
    print(difference.copy().pick(["Pz"]).get_peak(mode="abs", return_amplitude=True))

Importing this module needs numpy and the standard library only; MNE (and
pandas, for the epochs' metadata) only when ``to_mne`` is called. The layouts
read here are documented in docs/FORMAT.md.
"""

import os
import re
import struct
import warnings
import xml.etree.ElementTree as ET
from dataclasses import dataclass, field
from typing import Iterable, Iterator, List, Optional, Union

import numpy as np

__all__ = ["Subject", "Session", "read_session", "read_tree", "to_mne", "infer_unit"]

EPOCH_SAMPLES = 128
FORMAT_VERSION = 17
MAGIC = b"NPXFILE\0"
NAME_FIELD = 16
FIXED_HEADER = 32
# Every epoch costs a header a few short event lines; anything far beyond
# that is not a header of this format.
NPX_BYTES_BASE = 1 << 20
NPX_BYTES_PER_EPOCH = 256

UNIT_SCALES = {"V": 1.0, "mV": 1e-3, "uV": 1e-6}
EVENT_ID = {"target": 1, "standard": 2}

SESSION_NAME = re.compile(r"Subj(\d+)_(\d+)_(-?\d+)_(-?\d+)")
DATABASE_DIR = re.compile(r"DB_(\d+)")
SUBJECT_DIR = re.compile(r"Subject_(\d+)")


@dataclass
class Subject:
    """The header's ``Subject`` element, from the subject file of the input."""

    age: int
    sex: str
    condition: str
    study: str


@dataclass
class Session:
    """One converted session.

    Per-epoch arrays are in file order, one entry per epoch:

    - ``code``: the flashed row or column; codes below ``rows`` are rows,
      the others columns numbered after the rows.
    - ``target``: True for a target flash, False for a standard one.
    - ``trial``: the trial's index within the session, 0-based, in file order.
    - ``sequence``: the epoch's sequence within its trial, 0-based, or -1.
      The file does not store it; it is derived when every row and column
      flashes once per sequence: a trial whose epochs split into consecutive
      blocks of ``rows + columns`` epochs, each holding every code from 0 to
      ``rows + columns - 1`` exactly once, has sequence ``i // (rows +
      columns)`` for its ``i``-th epoch. Every epoch of any other trial gets -1.
    - ``symbol``: the target symbol of the epoch's trial (``trial_symbols``
      indexed by ``trial``).

    ``trial_symbols`` holds one symbol per trial: in a 6x6 session the name of
    the trial's class, which is the symbol; in any other the symbol that the
    header's copied ``Encoder`` gives for the target row and column codes
    that the class names (``RowA-ColB``). It is "" where neither knows the
    target: a 6x6 target outside the matrix, or an ``Encoder`` that is
    missing or has no such symbol; ``trial_targets`` keeps each class name.
    """

    name: str
    path: str
    database: Optional[int]
    subject: Optional[int]
    number: Optional[int]
    rows: int
    columns: int
    sampling_rate: int
    channels: List[str]
    data: np.ndarray = field(repr=False)
    code: np.ndarray = field(repr=False)
    target: np.ndarray = field(repr=False)
    trial: np.ndarray = field(repr=False)
    sequence: np.ndarray = field(repr=False)
    trial_targets: List[str]
    trial_symbols: List[str]
    subject_info: Subject
    symbol: np.ndarray = field(init=False, repr=False)

    def __post_init__(self):
        self.symbol = np.array(self.trial_symbols, dtype=str)[self.trial]

    @property
    def times(self) -> np.ndarray:
        """Sample times within an epoch, in seconds from the flash."""
        return np.arange(self.data.shape[2]) / self.sampling_rate


def read_session(path: Union[str, os.PathLike]) -> Session:
    """Reads one session from its ``.bin`` path or the path without extension.

    Raises ``ValueError`` naming the file and what is wrong when the files
    are not a consistent session of this format, ``OSError`` when they
    cannot be read.
    """
    base = os.fspath(path)
    if base.endswith(".bin") or base.endswith(".npx"):
        base = base[:-4]
    bin_path, npx_path = base + ".bin", base + ".npx"
    stem = os.path.basename(base)

    rate, channels, data = _read_bin(bin_path)
    epochs = data.shape[0]
    doc = _read_npx(npx_path, epochs)

    def fail(what):
        return ValueError(f"{npx_path}: {what}")

    _expect_text(doc, "FileInfo/Version", str(FORMAT_VERSION), fail)
    _expect_text(doc, "Recording/BaseSR", str(rate), fail)
    _expect_text(doc, "Recording/Samples", str(epochs * EPOCH_SAMPLES), fail)
    sensors = [sensor.get("Name") for sensor in doc.findall("Sensor")]
    if sensors != channels:
        raise fail(f"Sensor names {sensors} are not the channels of the .bin file {channels}")

    named = SESSION_NAME.fullmatch(stem)
    encoder = doc.find("P2731/ControlInterface/Encoder")
    if named:
        rows, columns = int(named.group(3)), int(named.group(4))
    elif encoder is not None and _is_int(encoder.get("Rows")) and _is_int(encoder.get("Columns")):
        rows, columns = int(encoder.get("Rows")), int(encoder.get("Columns"))
    else:
        raise fail("no matrix size: the file name is not SubjAA_BB_RR_CC and there is no Encoder")

    events = doc.find("Events")
    if events is None:
        raise fail("no Events element")
    code, target, trial, targets = _read_events(events, epochs, rows, fail)

    database = DATABASE_DIR.fullmatch(os.path.basename(os.path.dirname(os.path.dirname(
        os.path.abspath(base)))))
    subject = doc.find("Subject")
    if subject is None:
        raise fail("no Subject element")
    age = subject.get("Age", "")
    if not _is_int(age):
        raise fail(f"Subject Age \"{age}\" is not a whole number")

    return Session(
        name=stem,
        path=bin_path,
        database=int(database.group(1)) if database else None,
        subject=int(named.group(1)) if named else None,
        number=int(named.group(2)) if named else None,
        rows=rows,
        columns=columns,
        sampling_rate=rate,
        channels=channels,
        data=data,
        code=code,
        target=target,
        trial=trial,
        sequence=_sequences(code, trial, rows + columns),
        trial_targets=targets,
        trial_symbols=[_symbol(name, rows, columns, encoder) for name in targets],
        subject_info=Subject(int(age), subject.get("Sex", ""), subject.get("Condition", ""),
                             subject.get("Study", "")),
    )


def read_tree(root: Union[str, os.PathLike], subject: Optional[int] = None) -> Iterator[Session]:
    """Yields the sessions below ``root`` in the converter's order: databases,
    subjects and sessions by ascending number. With ``subject`` (1-based, the
    NN of ``Subject_NN``) only that subject's sessions, from every database.

    Raises ``ValueError`` when there is no such session at all.
    """
    root = os.fspath(root)
    subject = None if subject is None else int(subject)
    paths = []
    for _, database in _numbered(root, DATABASE_DIR):
        for number, subject_dir in _numbered(database, SUBJECT_DIR):
            if subject is not None and number != subject:
                continue
            files = []
            for entry in os.scandir(subject_dir):
                named = SESSION_NAME.fullmatch(entry.name[:-4])
                if entry.name.endswith(".bin") and named:
                    files.append((int(named.group(2)), entry.name, entry.path))
            paths += [path for _, _, path in sorted(files)]
    if not paths:
        which = f"of Subject_{subject:02d} " if subject is not None else ""
        raise ValueError(f"{root}: no session {which}in DB_NN/Subject_NN/")
    for path in paths:
        yield read_session(path)


def infer_unit(sessions: Iterable[Session]) -> str:
    """The unit the samples are taken to be in, as npxcheck infers it: over
    every finite sample, "V" if more than half are below 1e-3 in magnitude,
    else "mV" if more than half are below 1, else "uV"."""
    finite = below_milli = below_one = 0
    for session in sessions:
        magnitude = np.abs(session.data[np.isfinite(session.data)])
        finite += magnitude.size
        below_milli += int(np.count_nonzero(magnitude < 1e-3))
        below_one += int(np.count_nonzero(magnitude < 1))
    if 2 * below_milli > finite:
        return "V"
    if 2 * below_one > finite:
        return "mV"
    return "uV"


def to_mne(sessions: Union[Session, Iterable[Session]], unit: str = "auto"):
    """Returns the epochs of the sessions, in order, as an ``mne.EpochsArray``
    in volts: EEG channels with the standard 10-20 montage, events
    ``target`` (1) and ``standard`` (2), tmin 0. ``unit`` is the unit the
    samples are stored in, "V", "mV", "uV", or "auto" (``infer_unit``).
    Its ``metadata`` (when pandas is installed) has one row per epoch with
    ``session``, ``trial``, ``sequence``, ``code``, ``symbol``, ``target``.
    """
    import mne

    if isinstance(sessions, Session):
        sessions = [sessions]
    sessions = list(sessions)
    if not sessions:
        raise ValueError("no sessions to convert")
    first = sessions[0]
    for session in sessions[1:]:
        if session.channels != first.channels or session.sampling_rate != first.sampling_rate:
            raise ValueError(f"{session.name}: channels or sampling rate differ from "
                             f"{first.name}'s; epochs of one EpochsArray must share them")
    if unit == "auto":
        unit = infer_unit(sessions)
    if unit not in UNIT_SCALES:
        raise ValueError(f"unit \"{unit}\": use V, mV, uV or auto")

    data = np.empty((sum(len(s.data) for s in sessions),) + first.data.shape[1:])
    start = 0
    for session in sessions:
        data[start:start + len(session.data)] = session.data
        start += len(session.data)
    data *= UNIT_SCALES[unit]
    target = np.concatenate([session.target for session in sessions])
    events = np.zeros((len(data), 3), dtype=int)
    # Positions in the sessions laid end to end: unique, as MNE wants.
    events[:, 0] = np.arange(len(data)) * data.shape[2]
    events[:, 2] = np.where(target, EVENT_ID["target"], EVENT_ID["standard"])

    info = mne.create_info(first.channels, float(first.sampling_rate), ch_types="eeg")
    epochs = mne.EpochsArray(data, info, events=events, tmin=0.0, event_id=EVENT_ID,
                             metadata=_metadata(sessions), on_missing="ignore", verbose=False)
    epochs.set_montage(mne.channels.make_standard_montage("standard_1020"), on_missing="warn",
                       verbose=False)
    return epochs


def _metadata(sessions):
    try:
        import pandas
    except ImportError:
        warnings.warn("pandas is not installed: the epochs get no metadata")
        return None
    return pandas.DataFrame({
        "session": np.concatenate([np.full(len(s.code), s.name, dtype=object) for s in sessions]),
        "trial": np.concatenate([s.trial for s in sessions]),
        "sequence": np.concatenate([s.sequence for s in sessions]),
        "code": np.concatenate([s.code for s in sessions]),
        "symbol": np.concatenate([s.symbol.astype(object) for s in sessions]),
        "target": np.concatenate([s.target for s in sessions]),
    })


def _numbered(parent, pattern):
    """The directories of ``parent`` that ``pattern`` names, by number."""
    found = [(int(m.group(1)), entry.name, entry.path) for entry in os.scandir(parent)
             for m in [pattern.fullmatch(entry.name)] if m and entry.is_dir()]
    return [(number, path) for number, _, path in sorted(found)]


def _read_bin(path):
    """The sampling rate, the channel names and the samples as float32
    [epochs, channels, samples] of one epoch file, after checking that its
    header describes exactly the bytes that are there."""
    with open(path, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        head = file.read(FIXED_HEADER)
        if len(head) < FIXED_HEADER:
            raise ValueError(f"{path}: {size} bytes, shorter than the {FIXED_HEADER}-byte header")
        if head[:8] != MAGIC:
            raise ValueError(f"{path}: not an epoch file (no NPXFILE magic)")
        version, header_length, rate, positions, channels, _ = struct.unpack_from("<6I", head, 8)
        if version != FORMAT_VERSION:
            raise ValueError(f"{path}: format version {version}, not {FORMAT_VERSION}")
        if channels == 0:
            raise ValueError(f"{path}: no channels")
        if header_length != NAME_FIELD * (channels + 1):
            raise ValueError(f"{path}: header length {header_length}, not 16 x ({channels} "
                             f"channels + 1)")
        if rate == 0:
            raise ValueError(f"{path}: sampling rate 0")
        if positions % EPOCH_SAMPLES:
            raise ValueError(f"{path}: {positions} sample positions, not whole epochs of "
                             f"{EPOCH_SAMPLES}")
        expected = 16 + header_length + 4 * channels * positions
        if size != expected:
            raise ValueError(f"{path}: {size} bytes, but its header describes {expected} "
                             f"({positions} positions of {channels} channels)")
        names = []
        for c in range(channels):
            raw = file.read(NAME_FIELD)
            if b"\0" not in raw:
                raise ValueError(f"{path}: channel name {c + 1} is not zero-terminated")
            names.append(raw[:raw.index(b"\0")].decode("latin-1"))
        samples = np.fromfile(file, dtype="<f4", count=channels * positions)
    by_sample = samples.reshape(positions // EPOCH_SAMPLES, EPOCH_SAMPLES, channels)
    return rate, names, np.ascontiguousarray(by_sample.transpose(0, 2, 1), dtype=np.float32)


def _read_npx(path, epochs):
    with open(path, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        if size > NPX_BYTES_BASE + NPX_BYTES_PER_EPOCH * epochs:
            raise ValueError(f"{path}: {size} bytes, far more than a header of {epochs} epochs")
        text = file.read()
    try:
        doc = ET.fromstring(text)
    except ET.ParseError as error:
        raise ValueError(f"{path}: not an XML document: {error}") from None
    if doc.tag != "DOC":
        raise ValueError(f"{path}: root element {doc.tag}, not DOC")
    return doc


def _expect_text(doc, where, expected, fail):
    element = doc.find(where)
    found = None if element is None else (element.text or "").strip()
    if found != expected:
        raise fail(f"{where} is {found!r}, the .bin file says {expected}")


def _is_int(text):
    return text is not None and re.fullmatch(r"-?\d+", text) is not None


def _position(event, attribute, fail):
    text = event.get(attribute)
    if not _is_int(text):
        raise fail(f"{attribute}=\"{text}\" is not a sample position")
    return int(text)


def _epoch_of(event, epochs, name, fail):
    position = _position(event, "VSB", fail)
    if position % EPOCH_SAMPLES or not 0 <= position < epochs * EPOCH_SAMPLES:
        raise fail(f"class {name}: VSB=\"{position}\" is not the start of one of the {epochs} "
                   "epochs")
    return position // EPOCH_SAMPLES


def _code_of(name, rows):
    """The code a class named RowN or ColN stands for, None for any other name."""
    found = re.fullmatch(r"(Row|Col)(-?\d+)", name)
    if not found:
        return None
    number = int(found.group(2))
    code = number - 1 if found.group(1) == "Row" else number + rows - 1
    return code if (code < rows) == (found.group(1) == "Row") else None


def _read_events(events, epochs, rows, fail):
    """Per epoch its code, whether it is a target and its trial; per trial
    the name of its target class. Every epoch must be in exactly one code
    class and in exactly one of Target and Standard, and the trials must
    cover the file."""
    code = np.zeros(epochs, dtype=np.int64)
    kind = np.full(epochs, -1, dtype=np.int8)  # 1 target, 0 standard
    coded = np.zeros(epochs, dtype=bool)
    spans, targets = [], []
    for element in events.findall("Type"):
        name, group = element.get("Name", ""), element.get("Class")
        if group == "1" and name in ("Target", "Standard"):
            for event in element.findall("Event"):
                k = _epoch_of(event, epochs, name, fail)
                if kind[k] >= 0:
                    raise fail(f"epoch {k} is in Target or Standard twice")
                kind[k] = name == "Target"
        elif group == "1":
            value = _code_of(name, rows)
            if value is None:
                raise fail(f"class \"{name}\" names no row or column of {rows} rows")
            for event in element.findall("Event"):
                k = _epoch_of(event, epochs, name, fail)
                if coded[k]:
                    raise fail(f"epoch {k} is in two code classes")
                coded[k], code[k] = True, value
        elif group == "2" and name == "Trial":
            spans += [(_position(e, "VSB", fail), _position(e, "VSE", fail))
                      for e in element.findall("Event")]
        elif group == "2":
            only = element.findall("Event")
            if len(only) != 1:
                raise fail(f"trial target class \"{name}\" has {len(only)} events, not 1")
            targets.append((name, _position(only[0], "VSB", fail), _position(only[0], "VSE", fail)))
        else:
            raise fail(f"class \"{name}\" has Class=\"{group}\", not 1 or 2")
    if not coded.all():
        raise fail(f"epoch {int(np.argmin(coded))} is in no code class")
    if (kind < 0).any():
        raise fail(f"epoch {int(np.argmin(kind >= 0))} is in neither Target nor Standard")

    trial = np.zeros(epochs, dtype=np.int64)
    reach = 0
    for index, (begin, end) in enumerate(spans):
        if begin != reach or end <= begin or end % EPOCH_SAMPLES:
            raise fail(f"trial {index} spans {begin} to {end}, not whole epochs from {reach} on")
        trial[begin // EPOCH_SAMPLES:end // EPOCH_SAMPLES] = index
        reach = end
    if reach != epochs * EPOCH_SAMPLES:
        raise fail(f"the trials end at {reach}, the file at {epochs * EPOCH_SAMPLES}")

    # One target class per trial, in trial order.
    if len(targets) != len(spans):
        raise fail(f"{len(targets)} trial target classes for {len(spans)} trials")
    for (name, begin, end), span in zip(targets, spans):
        if (begin, end) != (span[0], span[1] - EPOCH_SAMPLES + 1):
            raise fail(f"trial target class \"{name}\" does not match the trial at {span[0]}")
    return code, kind.astype(bool), trial, [name for name, _, _ in targets]


def _sequences(code, trial, flashes):
    sequence = np.full(len(code), -1, dtype=np.int64)
    if flashes <= 0 or not len(code):
        return sequence
    full = np.arange(flashes)
    starts = np.flatnonzero(np.r_[True, trial[1:] != trial[:-1]])
    for begin, end in zip(starts, np.r_[starts[1:], len(code)]):
        if (end - begin) % flashes:
            continue
        blocks = code[begin:end].reshape(-1, flashes)
        if (np.sort(blocks, axis=1) == full).all():
            sequence[begin:end] = np.arange(end - begin) // flashes
    return sequence


def _symbol(name, rows, columns, encoder):
    if rows == 6 and columns == 6:
        return name
    found = re.fullmatch(r"Row(-?\d+)-Col(-?\d+)", name)
    if not found or encoder is None:
        return ""
    row_code, column_code = int(found.group(1)) - 1, int(found.group(2)) + rows - 1
    for symbol in encoder.findall("Symbol"):
        if symbol.get("RowCode") == str(row_code) and symbol.get("ColumnCode") == str(column_code):
            return symbol.get("Name", "")
    return ""
