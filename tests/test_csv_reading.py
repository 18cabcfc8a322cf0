"""CSV reading: pyarrow's block reader gives exactly what the csv module's
reading gives (points, values, line numbers, bad rows and errors) on
generated awkward texts."""

import io
import random

from orbisk_cli import celltyping, csvblocks
from orbisk_cli.csvfile import CsvSource
from orbisk_cli.values import BadRow

NUMBERS = [
    "0",
    "-0",
    "1",
    "-17",
    "007",
    "+1",
    "1.",
    ".5",
    "1.5",
    "-0.0",
    "1e5",
    "1E+05",
    "2.5e-3",
    "1e400",
    "-1e400",
    "5e-324",
    "4.9e-324",
    "1e-400",
    "0.1",
    "89.99999999999999",
    "90.0000000000001",
    "180",
    "-180.5",
    "9223372036854775807",
    "9223372036854775808",
    "-9223372036854775808",
    "123456789012345678901234",
    "1.7976931348623157e308",
    "0.30000000000000004",
    "nan",
    "inf",
    "-Infinity",
    " 1",
    "1 ",
    "1_0",
    "\u0663",
    "0x10",
    "1e",
    "--1",
    "12345678901234567.5",
]
WORDS = ["true", "false", "null", "True", "", "tango", "a b", "Zürich 東京", "x" * 40, "\u2028", "'", "\\"]
JSON = [
    '[1,2]',
    '{"a":1}',
    '"s"',
    '[]',
    '{}',
    '["t1","t2"]',
    '[1e400]',
    '[9223372036854775808]',
    '["\\ud800"]',
    '{"\\u00e9":1}',
    '[' * 130 + ']' * 130,
    '{"a":',
    '[1,]',
    '[1e5]',
    '{"k":[{"n":null}]}',
    '"',
    '[1] ',
]
INTS = ["0", "7", "-12", "9223372036854775807", "-9223372036854775808", "123456"]
FLOATS = ["0.5", "-1.25", "1e5", "2.5E-3", "0.1", "-0.0", "1.7976931348623157e308", "5e-324", "1.0"]
PLAIN = [["true", "false"], ["tango", "a b", "Zürich 東京", "x", "nullish"], ['["t1","t2"]', '["a"]', '[]', '["é"]']]
POOLS = [NUMBERS, WORDS, JSON, INTS, FLOATS, *PLAIN]
# cells as written in the file, some of them malformed
QUOTED = ['"a,b"', '"say ""hi"""', '""', '"line\nbreak"', '"cr\r\nlf"', '"x""y"', '"\t"', '"\n"']
MALFORMED = ['"a"b', 'a"b', '"""', '"a" ', ' "a"']


def cell(rng, pool, delimiter, trouble):
    pick = rng.random()
    if pick < 0.04:
        return rng.choice(QUOTED)
    if trouble and pick < 0.05:
        return rng.choice(MALFORMED)
    text = rng.choice(pool if rng.random() < 0.97 else rng.choice(POOLS))
    if any(c in text for c in delimiter + '"\r\n') or rng.random() < 0.05:
        text = '"' + text.replace('"', '""') + '"'
    return text


def coordinate(rng, limit):
    if rng.random() < 0.03:
        return rng.choice(NUMBERS + ["", "north", '"1.5"'])
    value = rng.uniform(-limit, limit)
    return repr(value) if rng.random() < 0.7 else f"{value:.{rng.randrange(8)}f}"


def awkward_csv(rng):
    """A CSV file: mostly well-formed rows, with now and then each kind of trouble."""
    delimiter = rng.choice(",,;\t")
    keys = [f"k{i}" for i in range(rng.randrange(0, 5))]
    header = ["lat", "lon", *keys]
    rng.shuffle(header)
    # each column's cells are of one kind, some of them of a few values only
    pools = [rng.choice(POOLS) for _ in header]
    pools = [rng.sample(pool, min(3, len(pool))) if rng.random() < 0.3 else pool for pool in pools]
    end = rng.choice(["\n", "\r\n"])
    lines = [delimiter.join(header)]
    trouble = rng.random() < 0.5
    for _ in range(rng.randrange(1, 120)):
        row = [
            coordinate(rng, 90)
            if h == "lat"
            else coordinate(rng, 180)
            if h == "lon"
            else cell(rng, pool, delimiter, trouble)
            for h, pool in zip(header, pools)
        ]
        if trouble and rng.random() < 0.02:
            row = row[:-1] if rng.random() < 0.5 else [*row, "extra"]
        lines.append(delimiter.join(row))
        if trouble and rng.random() < 0.03:
            lines.append(rng.choice(["", "", "\r" if end == "\n" else "", " "]))
    text = (end.join(lines) + (end if rng.random() < 0.8 else "")).encode("utf-8")
    if trouble and rng.random() < 0.4:
        at = rng.randrange(len(text))
        bad = rng.choice([b"\xff", b"\xed\xa0\x80", b"\xc0\x80", b"\0", b"\r", b'"', b"\xe2\x82"])
        text = text[:at] + bad + text[at:]
    if rng.random() < 0.2:  # a byte order mark starting a line, part of its first cell
        at = text.find(b"\n", rng.randrange(len(text))) + 1
        text = text[:at] + b"\xef\xbb\xbf" + text[at:]
    if trouble and rng.random() < 0.05:
        text += b'\n1,2,"unterminated'
    if rng.random() < 0.1:
        text = b"\xef\xbb\xbf" + text
    return text, delimiter


def outcome(data, blocks, block_size, batch_size, delimiter=","):
    """What a source yields: points and bad rows in order (each by its repr,
    so that 1, 1.0 and True differ), then the error that stopped it, if any."""
    CsvSource.use_blocks = blocks
    source = CsvSource(io.BytesIO(data), "f.csv", len(data), batch_size, None, None, delimiter)
    source.block_size = block_size
    items = []
    try:
        for batch in source.batches():
            if isinstance(batch, BadRow):
                items.append(repr(("bad", batch.place, batch.problem)))
            else:
                items.extend(map(repr, batch))
    except BadRow as e:
        items.append(repr(("error", e.place, e.problem)))
    finally:
        CsvSource.use_blocks = True
    # each byte counted once; all of them unless reading stopped at an error
    stopped = bool(items) and items[-1].startswith("('error'")
    assert source.done == len(data) or (stopped and source.done < len(data))
    return items


def test_block_reader_reads_as_the_csv_module_does(monkeypatch):
    monkeypatch.setattr(csvblocks, "MAX_BLOCK", 4096)  # so that blocks with no record end run into it
    monkeypatch.setattr(celltyping, "SAMPLE", 4)  # so that columns are found to repeat
    rng = random.Random(20261208)
    differences = []
    for case in range(250):
        data, delimiter = awkward_csv(rng)
        expected = outcome(data, False, 0, 7, delimiter)
        for block_size in (rng.randrange(1, 300), 1 << 16):
            got = outcome(data, True, block_size, rng.choice([3, 50]), delimiter)
            if got != expected:
                first = next(i for i, (a, b) in enumerate(zip(got + [None], expected + [None])) if a != b)
                differences.append((case, block_size, data, got[first : first + 1], expected[first : first + 1]))
    assert not differences, differences[:3]


def test_invalid_utf8_names_its_own_line():
    """Every line before the one with the bad byte is read, and the message names that line."""
    lines = ["lat,lon,name"] + [f"1,2,{'n' * 50}{i}" for i in range(3000)]
    data = "\n".join(lines).encode() + b"\n1,2,caf\xe9\n3,4,x\n"
    for blocks in (False, True):
        items = outcome(data, blocks, 1 << 16, 1000)
        assert len(items) == 3001
        assert items[-1] == repr(
            (
                "error",
                "f.csv line 3002",
                "malformed CSV ('utf-8' codec can't decode byte 0xe9 in position 7: invalid continuation byte)",
            )
        )
