"""Error texts as they reach Python: the three RuntimeError prefixes, layered
causes, and the display of Python exceptions carried inside an error."""

import numpy as np
import pyarrow as pa
import pytest

import _mirvon
from conftest import YEAR, Recorder, events_batch, flat_dataset

MODEL = "Error during model evaluation, caused by\n"
DATASET = "Error while parsing Dataset, caused by\n"
TIMETABLE = "Error while parsing Timetable, caused by \n"
AT_ONE_YEAR = "time: Single(1971-01-01T00:00:00Z), op: +, qty: 1"


def event_error(unit_desc, cause):
    return (
        MODEL + 'Error at event:\n  #0: track: "Track(0)", ' + AT_ONE_YEAR
        + f', unit: "{unit_desc}", caused by \n' + cause
    )


def paying(unit):
    return events_batch([("leg", YEAR, "+", 1.0, unit)], tracks=["leg"])


def fixed_error(batch, dataset=None, expressions=None):
    with pytest.raises(RuntimeError) as info:
        _mirvon.fixed_price(batch, Recorder(), flat_dataset() if dataset is None else dataset,
                            expressions or {})
    # Exactly RuntimeError, not a subclass of it.
    assert type(info.value) is RuntimeError
    return str(info.value)


def phrase(fn):
    return {"p": {"type": "phrase", "fn": fn, "inp": []}}


def test_parse_error_prefix_has_no_blank_before_the_line_feed():
    dataset = flat_dataset()
    del dataset["BASE"]
    assert fixed_error(paying("USD"), dataset) == DATASET + "Py Dictionary is missing key 'BASE'"


def test_timetable_error_carries_no_prefix_of_its_own():
    batch = paying("USD").drop_columns(["quantity"])
    assert fixed_error(batch) == TIMETABLE + "Column 'quantity' not found"


def test_expression_errors_are_layered_one_context_per_line():
    text = fixed_error(paying("USD"), expressions={"p": {"type": "phrase", "inp": []}})
    assert text == (
        TIMETABLE + "Error while parsing expression 'p', caused by \n" + "Py Dictionary is missing key 'fn'"
    )


def test_model_error_wraps_the_event_and_its_cause():
    assert fixed_error(paying("XYZ")) == event_error(
        "Asset(XYZ)", "Asset 'XYZ' not found in snaps, expressions, or in dataset[ASSETS]"
    )


def test_asset_builder_error_is_nested_in_the_parse_error():
    dataset = flat_dataset()
    dataset["ASSETS"]["USD"] = ("ZERO_RATES", np.array([[0.0, 0.05], [0.0, 0.05]]))
    assert fixed_error(paying("USD"), dataset) == (
        DATASET + "Error while parsing Asset, caused by \n"
        + "BuilderError Values in the x axis need to be strictly monotonic rising"
    )


def test_quoted_cause_and_float_times_in_asset_errors():
    dataset = flat_dataset()
    dataset["ASSETS"]["USD"] = ("ZERO_RATES", np.array([[0.0, 0.05], [5.0, 0.05]]))
    batch = events_batch([("leg", int(7.5 * YEAR), "+", 1.0, "USD")], tracks=["leg"])
    assert fixed_error(batch, dataset) == (
        MODEL + "Error in 'discount factor' value at 7.5, caused by \n'"
        + "Error: Interpolation out of range at time 7.5.\n"
        + " Perhaps the time range in forwards/discount data is too short.'"
    )


class StrFails(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class StrNotText(Exception):
    def __str__(self):
        return 5


class Weird(Exception):
    pass


@pytest.mark.parametrize(
    "exc, display",
    [
        (ValueError("bad"), "ValueError: bad"),
        (ValueError(), "ValueError: "),
        (KeyError("k"), "KeyError: 'k'"),
        (ValueError("two\nlines"), "ValueError: two\nlines"),
        (ValueError("ünïcode €"), "ValueError: ünïcode €"),
        (pa.ArrowInvalid("from a C extension"), "ArrowInvalid: from a C extension"),
        (Weird("local"), "Weird: local"),
        (StrFails(), "StrFails: <exception str() failed>"),
        (StrNotText(), "StrNotText: <exception str() failed>"),
    ],
    ids=repr,
)
def test_python_exception_display_in_phrase_errors(exc, display):
    def fn(inputs):
        raise exc

    assert fixed_error(paying("p"), expressions=phrase(fn)) == event_error(
        "Phrase(p)", "Error in Phrase Evaluation, caused by \n" + display
    )


def test_exception_from_a_float_conversion_is_displayed_in_the_dataset_error():
    class Vol:
        def __float__(self):
            raise StrFails()

    dataset = flat_dataset(FD={"N_X": 10, "MAX_X": Vol(), "TIMESTEP": 0.1}, HW={})
    with pytest.raises(RuntimeError) as info:
        _mirvon.fd_hullwhite_price(paying("USD"), Recorder(), dataset, {})
    assert str(info.value) == (
        DATASET + "Error in value of MAX_X, likely incorrect type. caused by \n"
        + "StrFails: <exception str() failed>"
    )


@pytest.mark.parametrize(
    "result, cause",
    [
        ((1.0,), "Error in found value, likely incorrect type: 'tuple' object cannot be converted to '"),
        (["text"], "Error in Python execution:\nExpected float or array, received <class 'str'>"),
        ([None], "Error in Python execution:\nExpected float or array, received <class 'NoneType'>"),
    ],
    ids=["tuple", "str", "None"],
)
def test_phrase_results_of_the_wrong_kind(result, cause):
    text = fixed_error(paying("p"), expressions=phrase(lambda inputs: result))
    assert text.startswith(event_error("Phrase(p)", "Error in Phrase Evaluation, caused by \n" + cause))


def test_method_errors_name_the_method():
    class Source(Recorder):
        def get_value(self, name, time):
            raise ValueError("nope")

    with pytest.raises(RuntimeError) as info:
        _mirvon.backtest_py(paying("XYZ"), Source(), {}, "USD")
    assert str(info.value) == event_error(
        "Asset(XYZ)", "Error in Python method 'get_value', caused by \nValueError: nope"
    )


def test_messages_keep_non_ascii_names_and_escape_broken_bytes():
    assert fixed_error(paying("Zürich€")).endswith("Asset 'Zürich€' not found in snaps, expressions, or in dataset[ASSETS]")
    # A dictionary value that is not UTF-8 still yields a readable message.
    raw = b"ab\xffc"
    values = pa.Array.from_buffers(
        pa.string(), 1, [None, pa.py_buffer(np.array([0, len(raw)], np.int32)), pa.py_buffer(raw)]
    )
    batch = paying("x")
    batch = batch.set_column(4, "unit", pa.DictionaryArray.from_arrays(pa.array([0], pa.int64()), values))
    assert fixed_error(batch) == event_error(
        "Asset(ab\\xffc)", "Asset 'ab\\xffc' not found in snaps, expressions, or in dataset[ASSETS]"
    )


def test_an_error_leaves_the_state_untouched():
    recorder = Recorder()
    with pytest.raises(RuntimeError):
        _mirvon.fixed_price(paying("XYZ"), recorder, flat_dataset(FIXED={"FLAGS": 15}), {})
    assert recorder.stats == []
