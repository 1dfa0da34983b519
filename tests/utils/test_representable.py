import copy
import gc
import json
import pickle
import re
import warnings
from pathlib import Path

import pandas as pd
import pytest

from astrovia.utils import representable
from astrovia.utils.representable import Representable as R

# The installed file, beside the imported module: the one every lookup reads.
SETTINGS = Path(representable.__file__).parent / "settings.json"

# No styling at all, so that expected texts can be written out by hand.
PLAIN = {
    "header_color": False,
    "header_bold": False,
    "header_alignment": "left",
    "wall_char": "=",
    "wall_color": False,
    "wall_bold": False,
    "fence_char": "-",
    "fence_color": False,
    "fence_bold": False,
    "properties_color": False,
    "properties_bold": False,
}


class Settings:
    """Writes settings.json; the fixture puts the original bytes back."""

    path = SETTINGS

    def set(self, **options):
        self.write({**PLAIN, **options})

    def write(self, content):
        self.path.write_text(json.dumps(content) if not isinstance(content, str) else content)

    def remove(self, *keys):
        self.write({k: v for k, v in PLAIN.items() if k not in keys})


@pytest.fixture
def settings():
    original = SETTINGS.read_bytes()
    try:
        s = Settings()
        s.set()
        yield s
    finally:
        SETTINGS.write_bytes(original)

ESC = "\x1b"
BOLD, RESET = ESC + "[1m", ESC + "[0m"
BLUE, CYAN = ESC + "[94m", ESC + "[96m"
SGR = re.compile(r"\x1b\[(?:0|1|36|91|92|93|94|95|96)m")


class Framed(R):
    """A subclass that shows a given header and body (module level, so it pickles)."""

    def __init__(self, header, body):
        self.header, self.body = header, body

    def _get_header(self):
        return self.header

    def _get_body(self):
        return self.body


def lines(obj):
    return str(obj).split("\n")


# --- the frame ---------------------------------------------------------------


@pytest.mark.parametrize(
    "alignment, header_line",
    [
        ("centre", "   Hello    "),  # 7 spaces of padding, the odd one to the right
        ("right", "       Hello"),
        ("center", "Hello"),  # only the British spelling centres
        ("left", "Hello"),
        (True, "Hello"),
    ],
)
def test_frame_geometry_and_header_alignment(settings, alignment, header_line):
    settings.set(header_alignment=alignment)
    text = str(Framed("Hello", "abcdefghijkl\nshort"))
    assert text == f"{'=' * 12}\n{header_line}\n{'-' * 12}\nabcdefghijkl\nshort\n{'=' * 12}\n"
    assert repr(Framed("Hello", "abcdefghijkl\nshort")) == text


def test_rules_as_long_as_a_header_wider_than_the_body(settings):
    assert lines(Framed("A long header", "ab\ncd")) == ["=" * 13, "A long header", "-" * 13, "ab", "cd", "=" * 13, ""]


def test_styled_header_is_centred_on_its_visible_width(settings):
    settings.set(header_color="blue", header_bold=True, header_alignment="centre")
    header_line = lines(Framed("Hello", "abcdefghijkl"))[1]
    assert header_line == "   " + BOLD + BLUE + "Hello" + RESET + RESET + "    "
    settings.set(header_color="blue", header_bold=True, header_alignment="right")
    assert lines(Framed("Hello", "abcdefghijkl"))[1] == " " * 7 + BOLD + BLUE + "Hello" + RESET + RESET


@pytest.mark.parametrize("off", ["", False, None, 0])
def test_header_colour_off(settings, off):
    settings.set(header_color=off)
    assert lines(Framed("Hello", "x"))[1] == "Hello"


@pytest.mark.parametrize(
    "body, width",
    [
        ("abc\n{fence}\nabcd", 4),  # the marker line (7 characters) does not count
        ("ab\nxx {fence} yyyy", 2),  # nor does any line holding the marker
        (f"{BOLD}{BLUE}abc{RESET}{RESET}", 3),  # emitted colour sequences are not counted
        (f"{ESC}[31mabc{RESET}", 8),  # another SGR code is: ESC [ 3 1 m is five characters
        (f"{ESC}[2Kabc", 7),
        ("{{x}}", 5),  # doubled braces count as written
    ],
)
def test_body_width_measurement(settings, body, width):
    out = lines(Framed("H", body))
    assert out[0] == out[-2] == "=" * width
    assert out[2] == "-" * width


def test_fence_marker_replaced_and_placeholders(settings):
    out = lines(Framed("Hi {x}", "abcd\n{fence}\n{{braces}}\n{header}|{wall}"))
    # the body is measured as written: "{header}|{wall}" counts 15 characters
    assert out[3:6] == ["abcd", "-" * 15, "{braces}"]
    assert out[1] == "Hi {x}"  # the header is a value: its braces need no doubling
    assert out[6] == "Hi {x}|" + "=" * 15


@pytest.mark.parametrize("body, error", [("{nope}", KeyError), ("{}", IndexError), ("{", ValueError)])
def test_unknown_replacement_fields(settings, body, error):
    with pytest.raises(error):
        str(Framed("H", body))


def test_rule_characters(settings):
    settings.set(wall_char="<>", fence_char="~")
    out = lines(Framed("abc", "x"))
    assert out[0] == "<>" * 3 and out[2] == "~~~"
    settings.set(wall_color="red", wall_bold=True, fence_color="green")
    out = lines(Framed("abc", "x"))
    assert out[0] == BOLD + ESC + "[91m===" + RESET + RESET
    assert out[2] == ESC + "[92m---" + RESET
    assert R._Representable__wall(0) == BOLD + ESC + "[91m" + RESET + RESET
    settings.set(wall_char=5)
    with pytest.raises(TypeError, match="wall_char"):
        str(Framed("abc", "x"))


def test_settings_read_at_every_use(settings):
    obj = Framed("abc", "x")
    first = str(obj)
    settings.set(wall_char="#")
    assert first.startswith("===\n") and str(obj).startswith("###\n")


@pytest.mark.parametrize(
    "damage, error, match",
    [
        ("missing", FileNotFoundError, "settings.json"),
        ('{"wall_char": ', json.JSONDecodeError, None),
        ("no wall_bold", KeyError, "wall_bold"),
        ("Blue", KeyError, "Blue"),
        ("cyan!", KeyError, "cyan!"),
    ],
)
def test_settings_errors_reach_str(settings, damage, error, match):
    if damage == "missing":
        settings.path.unlink()
    elif damage == "no wall_bold":
        settings.remove("wall_bold")
    elif damage.startswith("{"):
        settings.write(damage)
    else:
        settings.set(header_color=damage)
    with pytest.raises(error, match=match):
        str(Framed("abc", "x"))


def test_json_error_is_a_value_error(settings):
    settings.write("not json")
    with pytest.raises(ValueError):
        R._Representable__get_option("wall_char")


def test_option_lookup(settings):
    settings.set(wall_char="*", wall_bold=True, fence_color=None)
    assert R._Representable__get_option("wall_char") == "*"
    assert R._Representable__get_option("wall_bold") is True
    assert R._Representable__get_option("fence_color") is None
    for bad in (b"wall_char", None, type("S", (str,), {})("wall_char")):
        with pytest.raises(TypeError, match="option_tag"):
            R._Representable__get_option(bad)


def test_styling_primitives():
    assert R._Representable__get_bold_formatted_text(R._Representable__get_color_formatted_text("x", "blue")) == (
        BOLD + BLUE + "x" + RESET + RESET
    )
    assert R._Representable__get_color_formatted_text("x", "darkcyan") == ESC + "[36mx" + RESET
    with pytest.raises(KeyError, match="Blue"):
        R._Representable__get_color_formatted_text("x", "Blue")
    with pytest.raises(TypeError, match="text"):
        R._Representable__get_bold_formatted_text(3)
    with pytest.raises(TypeError, match="color"):
        R._Representable__get_color_formatted_text("x", None)


def test_colour_table_added_entries_and_no_shadowing(settings):
    assert list(R._available_colors) == ["blue", "cyan", "darkcyan", "green", "purple", "red", "yellow"]
    R._available_colors["grey"] = ESC + "[90m{}" + ESC + "[0m"
    try:
        assert R._Representable__get_color_formatted_text("x", "grey") == ESC + "[90mx" + RESET
        assert R.parse_color("GREY") == "grey"

        class Shadow(Framed):
            _available_colors = {}

        settings.set(header_color="blue")
        assert lines(Shadow("Hi", "x"))[1] == BLUE + "Hi" + RESET
    finally:
        del R._available_colors["grey"]


@pytest.mark.parametrize("name, result", [("blue", "blue"), ("Blue", "blue"), ("YELLOW", "yellow")])
def test_parse_color(name, result):
    assert R.parse_color(name) == result
    assert R().parse_color(name) == result  # static: an instance passes no instance


def test_parse_color_unknown():
    with pytest.raises(ValueError) as err:
        R.parse_color("Magenta")
    assert str(err.value) == "There is no color named Magenta available"
    with pytest.raises(TypeError):
        R.parse_color(1)


def test_property_styling(settings):
    assert R._format_as_property("Label") == "Label"
    settings.set(properties_color="blue", properties_bold=True)
    assert R._format_as_property("x") == BOLD + BLUE + "x" + RESET + RESET


def test_shipped_settings_define_every_option():
    shipped = json.loads(SETTINGS.read_text())
    assert set(shipped) >= {
        "header_color", "header_bold", "header_alignment", "wall_char", "wall_color", "wall_bold",
        "fence_char", "fence_color", "fence_bold", "properties_color", "properties_bold",
    }
    for key in ("header_color", "wall_color", "fence_color", "properties_color"):
        assert not shipped[key] or shipped[key] in R._available_colors
    assert isinstance(shipped["wall_char"], str) and isinstance(shipped["fence_char"], str)


# --- hooks, text form, pickling -------------------------------------------------


def test_base_hooks_raise_not_implemented():
    base = R()
    for call in (base._get_header, base._get_body, lambda: str(base), lambda: repr(base)):
        with pytest.raises(NotImplementedError) as err:
            call()
        assert err.value.args == ()

    class HeaderOnly(R):
        def _get_header(self):
            return "H"

    with pytest.raises(NotImplementedError):
        str(HeaderOnly())


def test_hook_returning_non_text(settings):
    with pytest.raises(TypeError, match="_get_body"):
        str(Framed("H", 3))


def test_pickle_as_class_and_dictionary():
    obj = Framed("Hi", "body")
    obj.extra = [1, 2]
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(obj, protocol))
        assert type(back) is Framed and back.__dict__ == obj.__dict__
    assert copy.deepcopy(obj).__dict__ == obj.__dict__
    bare = R()
    bare.x = 1
    assert pickle.loads(pickle.dumps(bare)).__dict__ == {"x": 1}


# --- forms ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, "a:      1\nbbb:    2"),
        ({"min_gap": 0}, "a:  1\nbbb:2"),
        ({"min_gap": -2}, "a:1\nbbb:2"),
        ({"min_gap": 1, "uppercase": True, "capitalise": True}, "A:   1\nBBB: 2"),
        ({"min_gap": 1, "capitalize": True}, "A:   1\nBbb: 2"),
        ({"min_gap": 1, "order": ["bbb", "a"]}, "bbb: 2\na:   1"),
        ({"min_gap": 1, "order": ["a"]}, "a: 1"),
    ],
)
def test_form(settings, kwargs, expected):
    assert R._create_formatted_form({"a": 1, "bbb": 2}, **kwargs) == expected


def test_form_values_as_text_and_collapsed_keys(settings):
    assert R._create_formatted_form({"x": None, "yy": [1]}, min_gap=1) == "x:  None\nyy: [1]"
    assert R._create_formatted_form({"ab": 1, "AB": 2, "c": 3}, uppercase=True, min_gap=1) == "AB: 2\nC:  3"


def test_form_styled_keys_line_up(settings):
    settings.set(properties_color="cyan", properties_bold=True)
    text = R._create_formatted_form({"epoch": "now", "frame": "TEME", "x": 1})
    assert text.split("\n")[2] == BOLD + CYAN + "x" + RESET + RESET + ":" + " " * 8 + "1"
    assert SGR.sub("", text) == "epoch:    now\nframe:    TEME\nx:        1"


@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        (({},), {}, ValueError),
        (({"a": 1},), {"order": []}, ValueError),
        (({"a": 1},), {"order": ["b"]}, KeyError),
        (([("a", 1)],), {}, TypeError),
        (({"a": 1},), {"order": ("a",)}, TypeError),
        (({1: 1},), {}, TypeError),
        (({"a": 1},), {"order": [1]}, TypeError),
        (({"a": 1},), {"min_gap": 4.0}, TypeError),
        (({"a": 1},), {"min_gap": True}, TypeError),
        (({"a": 1},), {"gap": 1}, TypeError),
        (({"a": 1}, None, 4, False, False, False, 1), {}, TypeError),
    ],
)
def test_form_errors(settings, args, kwargs, error):
    with pytest.raises(error):
        R._create_formatted_form(*args, **kwargs)


# --- tables ---------------------------------------------------------------------

DATA = {"c": ["a", "bbb"], "n": ["1", "22"]}


@pytest.mark.parametrize(
    "entry, expected",
    [
        (None, ["  c  n", "  a  1", "bbb 22"]),
        ({}, ["  c  n", "  a  1", "bbb 22"]),  # an empty entry is no alignment
        ({"header": "left", "values": "l"}, ["c    n", "a    1", "bbb 22"]),
        ({"header": "Centre", "values": "center"}, [" c   n", " a   1", "bbb 22"]),
        ({"header": "c", "values": "C"}, [" c   n", " a   1", "bbb 22"]),
        # right-aligned cells carry two spaces of their own: W + 2 wide
        ({"header": "right", "values": "R"}, ["    c  n", "    a  1", "  bbb 22"]),
        ({"header": "", "values": ""}, ["    c  n", "    a  1", "  bbb 22"]),
        # "L" left-aligns the label in W; the values default to the right (W + 2)
        ({"header": "L"}, ["  c    n", "    a  1", "  bbb 22"]),
    ],
)
def test_table_alignment_words(settings, entry, expected):
    alignment = None if entry is None else {"c": entry}
    assert R._create_formatted_frame(DATA, alignment=alignment, index=False).split("\n") == expected


@pytest.mark.parametrize(
    "entry, message",
    [
        ({"header": "middle"}, "Unexpected value for header alignment: middle"),
        ({"header": "LEFT", "values": "justify"}, "justify"),
    ],
)
def test_table_unknown_alignment_words(settings, entry, message):
    with pytest.raises(ValueError, match=message):
        R._create_formatted_frame(DATA, alignment={"c": entry})


def test_table_alignment_dict_left_as_it_was(settings):
    alignment = {"c": {"header": "left", "values": "left"}, "other": {"values": "r"}}
    before = copy.deepcopy(alignment)
    first = R._create_formatted_frame(DATA, alignment=alignment, index=False)
    second = R._create_formatted_frame(DATA, alignment=alignment, index=False)
    assert alignment == before
    assert first == second == "c    n\na    1\nbbb 22"


def test_table_sorting_on_text(settings):
    text = R._create_formatted_frame({"v": [9, 10, 2]}, sort_values_by="v", index=False)
    assert [s.strip() for s in text.split("\n")[1:]] == ["10", "2", "9"]
    with pytest.raises(KeyError):
        R._create_formatted_frame({"v": [1]}, sort_values_by="w")


@pytest.mark.parametrize(
    "index, offset, numbers",
    [
        (pd.Index([7, 3], dtype="Int64"), 1, ["1", "2"]),
        (pd.Index([7, 3], dtype="Int64"), 5, ["5", "6"]),
        (None, 1, ["0", "1"]),  # the default range index is shown as it is
        (pd.Index([7, 3], dtype="int64"), 1, ["7", "3"]),
    ],
)
def test_table_index_numbering(settings, index, offset, numbers):
    frame = pd.DataFrame({"v": ["x", "y"]}, index=index)
    text = R._create_formatted_frame(frame, index_offset=offset)
    assert [line.split()[0] for line in text.split("\n")[1:]] == numbers
    assert list(frame["v"]) == ["x", "y"] and frame.index.equals(index if index is not None else pd.RangeIndex(2))


def test_table_int64_index_renumbered_after_sorting(settings):
    frame = pd.DataFrame({"v": ["b", "a"]}, index=pd.Index([10, 20], dtype="Int64"))
    text = R._create_formatted_frame(frame, sort_values_by="v")
    assert [line.split() for line in text.split("\n")[1:]] == [["1", "a"], ["2", "b"]]


def test_table_label_row_styled_and_pandas_options(settings):
    settings.set(properties_color="cyan", properties_bold=True)
    text = R._create_formatted_frame({"SI units": {"ecc": "0.00010"}, "Op. units": {"ecc": "0.00010"}})
    out = text.split("\n")
    assert out[0] == BOLD + CYAN + "    SI units Op. units" + RESET + RESET
    assert out[1] == "ecc  0.00010   0.00010"
    long = R._create_formatted_frame({"v": ["x" * 60]}, max_colwidth=10, index=False)
    assert long.split("\n")[1].strip() == "xxxxxxx..."
    many = R._create_formatted_frame({"v": list(range(40))}, max_rows=6)
    assert [line.split()[0] for line in many.split("\n")[1:]] == ["0", "1", "2", "..", "37", "38", "39"]


def test_table_columns_and_missing_cells(settings):
    data = {"a": [1.5, None], "b": ["x", "yy"]}
    assert R._create_formatted_frame(data, columns=["b"], index=False).split("\n") == [" b", " x", "yy"]
    # missing cells become text too, under pandas 2 and 3 alike
    text = R._create_formatted_frame(data, alignment={"a": {"values": "left"}}, index=False)
    # values left in W = 3, inside the W + 2 column the right-aligned label made
    assert text.split("\n") == ["    a  b", "  1.5  x", "  nan yy"]


def test_table_without_rows_and_non_text_labels(settings):
    empty = R._create_formatted_frame({"a": []}, alignment={"a": {"header": "l", "values": "c"}}, index=False)
    assert "Columns: [a]" in empty
    text = R._create_formatted_frame({0: ["x"], 1: ["yy"]}, alignment={1: {"values": "l"}}, index=False)
    assert text.split("\n") == ["0    1", "x   yy"]


@pytest.mark.parametrize(
    "kwargs",
    [{"columns": ("a",)}, {"alignment": [("a", {})]}, {"index_offset": 1.0}, {"max_rows": None},
     {"max_colwidth": "5"}, {"colour": True}],
)
def test_table_argument_errors(settings, kwargs):
    with pytest.raises(TypeError):
        R._create_formatted_frame({"a": [1]}, **kwargs)


def test_table_alignment_entry_not_a_dict(settings):
    with pytest.raises(AttributeError):
        R._create_formatted_frame({"a": [1]}, alignment={"a": "left"})


def test_tle_shaped_body(settings):
    settings.set(header_alignment="centre")
    rows = {k: f"{i}.000 m" for i, k in enumerate(["ecc", "sma", "inc", "raa", "arp", "tra"])}

    class Shaped(R):
        def _get_header(self):
            return "Two-line Elements (TLE)"

        def _get_body(self):
            form = R._create_formatted_form({"epoch": "2024-01-01", "frame": "TEME"})
            table = R._create_formatted_frame({"SI units": rows, "Op. units": rows})
            return "1 25544U\n{fence}\n" + form + "\n{fence}\n" + R._format_as_property("Orbital Elements:") + "\n" + table

    out = lines(Shaped())
    width = len("Two-line Elements (TLE)")
    assert out[0] == "=" * width and out[-2] == "=" * width and out[-1] == ""
    assert out[4] == "-" * width and out[5] == "epoch:    2024-01-01"
    assert out[9].split() == ["SI", "units", "Op.", "units"]
    assert [line.split()[0] for line in out[10:16]] == ["ecc", "sma", "inc", "raa", "arp", "tra"]


@pytest.mark.parametrize("content", ["not json", json.dumps({"other": 1}), json.dumps(PLAIN)])
def test_settings_file_closed_on_every_path(settings, content):
    settings.write(content)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        try:
            R._Representable__get_option("wall_char")
        except (ValueError, KeyError):
            pass
        gc.collect()
    assert not [w for w in caught if issubclass(w.category, ResourceWarning)]
