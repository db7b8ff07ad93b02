"""What a caller's own Python code can do to a call: replace dictionary entries
while the engine reads them, raise KeyboardInterrupt or SystemExit from any
callback, raise exceptions whose text is awkward to carry.

The replacing objects free the value the engine is reading unless the engine
holds its own reference; the sanitizer run (with Python's debug allocator)
turns such a read into a report, the plain build into wrong results or a crash.
"""

import numpy as np
import pytest

import _mirvon
from conftest import YEAR, Recorder, events_batch, flat_dataset

MODEL = "Error during model evaluation, caused by\n"
DATASET = "Error while parsing Dataset, caused by\n"


def paying(unit, track="leg"):
    return events_batch([(track, YEAR, "+", 1.0, unit)], tracks=[track])


def fd_dataset(**fd):
    section = {"N_X": 20, "MAX_X": 0.2, "TIMESTEP": 0.25, "FLAGS": 0}
    section.update(fd)
    return flat_dataset(0.0, FD=section, HW={"MEANREV": 0.1, "VOL": 0.01},
                        BS={"VOL": 0.2, "ASSET": "S"})


def with_stock(dataset):
    dataset["ASSETS"]["S"] = ("FORWARDS", np.array([[0.0, 100.0], [50.0, 100.0]]))
    return dataset


# --- entries replaced while the engine reads them ----------------------------


class ReplacesOnIter:
    """A sequence of names whose iteration replaces another entry of its dict."""

    def __init__(self, owner, key, names):
        self.owner, self.key, self.names = owner, key, names

    def __len__(self):
        return len(self.names)

    def __getitem__(self, i):
        return self.names[i]

    def __iter__(self):
        self.owner[self.key] = "replaced"
        return iter(self.names)


@pytest.mark.parametrize("kind", ["phrase", "snapper"])
def test_expression_callable_replaced_while_its_inputs_are_read_is_still_called(kind):
    entry = {"type": kind, "fn": lambda inputs: [7.0]}
    entry["inp"] = ReplacesOnIter(entry, "fn", [])
    if kind == "snapper":
        entry["out"] = ["x"]
        batch = events_batch([("leg", YEAR, "+", 0.0, "p"), ("leg", YEAR, "+", 1.0, "x")], tracks=["leg"])
    else:
        batch = paying("p")
    dataset = flat_dataset(0.0)
    assert _mirvon.fixed_price(batch, Recorder(), dataset, {"p": entry}) == 7.0


class ReplacesOnFloat:
    """A number whose conversion replaces a section of the dataset. The new
    section takes the old one's memory, so an engine still reading the old
    one through a stale pointer reads the new keys instead."""

    def __init__(self, dataset, section, value):
        self.dataset, self.section, self.value = dataset, section, value

    def __float__(self):
        del self.dataset[self.section]
        self.dataset[self.section] = {"FLAGS": 15, "VOL": "not read", "ASSET": "not read"}
        return self.value


def replace_during(dataset, section, key):
    dataset[section] = dict(dataset[section])
    dataset[section][key] = ReplacesOnFloat(dataset, section, float(dataset[section][key]))
    return dataset


@pytest.mark.parametrize(
    "function, section, key",
    [
        (_mirvon.fd_hullwhite_price, "FD", "MAX_X"),
        (_mirvon.fd_blackscholes_price, "FD", "TIMESTEP"),
        (_mirvon.fd_hullwhite_price, "HW", "MEANREV"),
        (_mirvon.fd_blackscholes_price, "BS", "VOL"),
    ],
)
def test_section_replaced_by_a_value_conversion_is_read_as_it_was(function, section, key):
    plain = function(paying("USD"), Recorder(), with_stock(fd_dataset()), {})
    recorder = Recorder()
    hostile = replace_during(with_stock(fd_dataset()), section, key)
    assert function(paying("USD"), recorder, hostile, {}) == plain
    # The replacement's FLAGS 15 was never read: nothing was sent.
    assert recorder.stats == []


@pytest.mark.parametrize("section, key, other", [("MC", "PATHS", "SEED"), ("FIXED", "FLAGS", None)])
def test_integer_conversion_replacing_its_section_is_read_as_it_was(section, key, other):
    class Count:
        def __init__(self, dataset, value):
            self.dataset, self.value = dataset, value

        def __index__(self):
            del self.dataset[section]
            self.dataset[section] = {"PATHS": 1, "SEED": "not an int", "FLAGS": 15}
            return self.value

    dataset = flat_dataset(0.0, MC={"PATHS": 0, "SEED": 1, "FLAGS": 1}, FIXED={"FLAGS": 0})
    dataset[section][key] = Count(dataset, 1)
    recorder = McState()
    function = _mirvon.mc_price if section == "MC" else _mirvon.fixed_price
    assert function(paying("USD"), recorder, dataset, {}) == 1.0
    assert recorder.names() == ["PV_VEC"]


# --- exceptions that must reach the caller unchanged -------------------------


class Custom(BaseException):
    pass


ESCAPING = [KeyboardInterrupt, SystemExit, GeneratorExit, Custom]


class Raises:
    """Raises `exc` when converted to a number or an index."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __index__(self):
        raise self.exc


class McState(Recorder):
    def __init__(self, advance=None, get_value=None, set_stat=None):
        super().__init__()
        self._advance, self._get_value, self._set_stat = advance, get_value, set_stat

    def advance(self, t):
        return self._advance(t) if callable(self._advance) else self._advance

    def get_value(self, *args):
        return self._get_value(*args) if callable(self._get_value) else self._get_value

    def set_stat(self, name, value):
        super().set_stat(name, value)
        if self._set_stat is not None:
            raise self._set_stat


def throw(exc):
    def fail(*args):
        raise exc

    return fail


def mc_dataset(flags=0):
    return with_stock(flat_dataset(0.0, MC={"PATHS": 2, "SEED": 1, "FLAGS": flags}))


def call_phrase(exc):
    expressions = {"p": {"type": "phrase", "fn": throw(exc), "inp": []}}
    _mirvon.fixed_price(paying("p"), Recorder(), flat_dataset(0.0), expressions)


def call_snapper(exc):
    expressions = {"p": {"type": "snapper", "fn": throw(exc), "inp": [], "out": ["x"]}}
    batch = events_batch([("leg", YEAR, "+", 0.0, "p"), ("leg", YEAR, "+", 1.0, "x")], tracks=["leg"])
    _mirvon.fixed_price(batch, Recorder(), flat_dataset(0.0), expressions)


def call_phrase_result(exc):
    expressions = {"p": {"type": "phrase", "fn": lambda inputs: [Raises(exc)], "inp": []}}
    _mirvon.fixed_price(paying("p"), Recorder(), flat_dataset(0.0), expressions)


def call_advance(exc):
    _mirvon.mc_price(paying("S"), McState(advance=throw(exc)), mc_dataset(), {})


def call_advance_answer(exc):
    _mirvon.mc_price(paying("S"), McState(advance=Raises(exc)), mc_dataset(), {})


def call_mc_get_value(exc):
    _mirvon.mc_price(paying("S"), McState(get_value=throw(exc)), mc_dataset(), {})


def call_backtest_get_value(exc):
    _mirvon.backtest_py(paying("S"), McState(get_value=throw(exc)), {}, "USD")


def call_backtest_get_value_answer(exc):
    _mirvon.backtest_py(paying("S"), McState(get_value=Raises(exc)), {}, "USD")


def call_dataset_float(exc):
    _mirvon.fd_hullwhite_price(paying("USD"), Recorder(), fd_dataset(MAX_X=Raises(exc)), {})


def call_dataset_index(exc):
    _mirvon.fd_hullwhite_price(paying("USD"), Recorder(), fd_dataset(N_X=Raises(exc)), {})


def call_flags_index(exc):
    _mirvon.fixed_price(paying("USD"), Recorder(), flat_dataset(0.0, FIXED={"FLAGS": Raises(exc)}), {})


def call_names_iteration(exc):
    class Names:
        def __len__(self):
            return 0

        def __getitem__(self, i):
            raise IndexError(i)

        def __iter__(self):
            raise exc

    expressions = {"p": {"type": "phrase", "fn": throw(exc), "inp": Names()}}
    _mirvon.fixed_price(paying("p"), Recorder(), flat_dataset(0.0), expressions)


def call_batch_protocol(exc):
    class Batch:
        def __getattr__(self, name):
            raise exc

    _mirvon.fixed_price(Batch(), Recorder(), flat_dataset(0.0), {})


def call_batch_class_check(exc):
    class Batch:
        @property
        def __class__(self):
            raise exc

    _mirvon.fixed_price(Batch(), Recorder(), flat_dataset(0.0), {})


@pytest.mark.parametrize("exc_type", ESCAPING)
@pytest.mark.parametrize(
    "call",
    [call_phrase, call_snapper, call_phrase_result, call_advance, call_advance_answer, call_mc_get_value,
     call_backtest_get_value, call_backtest_get_value_answer, call_dataset_float, call_dataset_index,
     call_flags_index, call_names_iteration, call_batch_protocol, call_batch_class_check],
)
def test_exceptions_that_are_not_errors_reach_the_caller_unchanged(call, exc_type):
    exc = exc_type("from the caller")
    with pytest.raises(exc_type) as info:
        call(exc)
    assert info.value is exc


@pytest.mark.parametrize("exc_type", ESCAPING)
@pytest.mark.parametrize(
    "function, dataset",
    [(_mirvon.fixed_price, flat_dataset(0.0, FIXED={"FLAGS": 11})), (_mirvon.mc_price, mc_dataset(flags=11)),
     (_mirvon.fd_hullwhite_price, fd_dataset(FLAGS=11))],
)
def test_interrupted_set_stat_gets_no_further_statistics_and_no_price_is_returned(function, dataset, exc_type):
    state = McState(set_stat=exc_type("stop"))
    with pytest.raises(exc_type):
        function(paying("S"), state, with_stock(dataset), {})
    assert state.names() == ["PV_VEC"]


@pytest.mark.parametrize("exc_type", ESCAPING)
def test_interrupted_set_stat_ends_a_backtest_with_the_exception(exc_type):
    state = McState(set_stat=exc_type("stop"))
    with pytest.raises(exc_type):
        _mirvon.backtest_csv(paying("S"), state, "prices.csv", "USD", {})
    assert state.names() == ["CASHFLOW"]


def test_ordinary_exceptions_from_set_stat_are_still_ignored():
    state = McState(set_stat=ValueError("refused"))
    dataset = flat_dataset(0.0, FIXED={"FLAGS": 11})
    assert _mirvon.fixed_price(paying("USD"), state, dataset, {}) == 1.0
    assert state.names() == ["PV_VEC", "CHOICES", "CASHFLOW"]


def test_exception_raised_by_str_of_an_error_reaches_the_caller():
    class Loud(ValueError):
        def __str__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        call_phrase(Loud())


def test_ordinary_answers_that_fail_to_convert_still_fall_back():
    class NoNumber:
        def __float__(self):
            raise TypeError("no number")

    # advance: market discounting; here a flat zero rate.
    assert _mirvon.mc_price(paying("USD"), McState(advance=NoNumber()), mc_dataset(), {}) == 1.0


# --- exception texts ----------------------------------------------------------


Dotted = type("pkg.Dotted", (Exception,), {})


@pytest.mark.parametrize(
    "exc, display",
    [
        (ValueError("a\x00b"), "ValueError: a\x00b"),
        (ValueError("a\udcffb"), "ValueError: a\\udcffb"),
        (ValueError("\ud800 lone"), "ValueError: \\ud800 lone"),
        (Dotted("x"), "pkg.Dotted: x"),
    ],
    ids=repr,
)
@pytest.mark.parametrize("channel", ["phrase", "dataset", "advance"])
def test_exception_text_is_carried_whole(channel, exc, display):
    with pytest.raises(RuntimeError) as info:
        if channel == "phrase":
            call_phrase(exc)
        elif channel == "dataset":
            call_dataset_float(exc)
        else:
            call_advance(exc)
    text = str(info.value)
    if channel == "phrase":
        assert text.endswith("Error in Phrase Evaluation, caused by \n" + display)
    elif channel == "dataset":
        assert text == DATASET + "Error in value of MAX_X, likely incorrect type. caused by \n" + display
    else:
        assert text == MODEL + "Error in Python method 'advance', caused by \n" + display
