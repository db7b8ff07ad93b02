"""The module's shape and the argument handling of its six entry functions."""

import gc
import inspect
import sys

import pytest

import _mirvon
from conftest import YEAR, Recorder, events_batch, flat_dataset

PARAMETERS = {
    "mc_price": ("events_rb", "py_state", "dataset", "expressions"),
    "fixed_price": ("events_rb", "py_state", "dataset", "expressions"),
    "fd_hullwhite_price": ("events_rb", "py_state", "dataset", "expressions"),
    "fd_blackscholes_price": ("events_rb", "py_state", "dataset", "expressions"),
    "backtest_csv": ("events_rb", "py_state", "_filename", "base", "expressions"),
    "backtest_py": ("events_rb", "py_state", "expressions", "base"),
}
PRICING = ["mc_price", "fixed_price", "fd_hullwhite_price", "fd_blackscholes_price"]


class Producer:
    """An events_rb that counts how often the engine asked it for its data."""

    def __init__(self, batch):
        self.batch = batch
        self.calls = 0

    def __arrow_c_array__(self, requested_schema=None):
        self.calls += 1
        return self.batch.__arrow_c_array__(requested_schema)


class Untouchable:
    """A py_state that records every attribute the engine looks up on it."""

    def __init__(self):
        object.__setattr__(self, "looked_up", [])

    def __getattribute__(self, name):
        if name != "looked_up":
            object.__getattribute__(self, "looked_up").append(name)
        return object.__getattribute__(self, name)


@pytest.fixture
def payment():
    # One unit of USD paid in a year on track 0.
    return events_batch([("leg", YEAR, "+", 1.0, "USD")], tracks=["leg"])


def test_module_holds_the_six_functions_in_order_and_nothing_else():
    public = [name for name in vars(_mirvon) if not name.startswith("__")]
    assert public == list(PARAMETERS)
    assert _mirvon.__doc__ == "basic"
    for name in PARAMETERS:
        assert inspect.isbuiltin(getattr(_mirvon, name))


@pytest.mark.parametrize("name", list(PARAMETERS))
def test_signature_and_docstring(name):
    fn = getattr(_mirvon, name)
    params = PARAMETERS[name]
    signature = inspect.signature(fn)
    assert tuple(signature.parameters) == params
    for p in signature.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty
    assert fn.__text_signature__ == "(" + ", ".join(params) + ")"
    # The signature line is split off; the description follows it.
    assert fn.__doc__.startswith("Takes the timetable as a pyarrow record batch")
    if name in PRICING:
        assert "calculates a price" in fn.__doc__


def _arguments(name, batch, state):
    values = {
        "events_rb": batch,
        "py_state": state,
        "dataset": flat_dataset(),
        "expressions": {},
        "_filename": "unused.csv",
        "base": "USD",
    }
    return [values[p] for p in PARAMETERS[name]]


@pytest.mark.parametrize("name", list(PARAMETERS))
@pytest.mark.parametrize(
    "mangle, needle",
    [
        (lambda args, kw: (args[:-1], kw), "missing"),
        (lambda args, kw: (args + [None], kw), "positional"),
        (lambda args, kw: (args, {**kw, "surplus": 1}), "'surplus'"),
        (lambda args, kw: (args, {**kw, "events_rb": args[0]}), "'events_rb'"),
    ],
    ids=["missing", "surplus", "unknown-keyword", "duplicated"],
)
def test_argument_errors_read_nothing(name, mangle, needle, payment):
    producer, state = Producer(payment), Untouchable()
    args, kwargs = mangle(_arguments(name, producer, state), {})
    with pytest.raises(TypeError) as info:
        getattr(_mirvon, name)(*args, **kwargs)
    assert name in str(info.value) and needle in str(info.value)
    assert producer.calls == 0
    assert state.looked_up == []


def test_missing_argument_is_named(payment):
    with pytest.raises(TypeError, match="expressions"):
        _mirvon.mc_price(payment, Recorder(), flat_dataset())


@pytest.mark.parametrize(
    "keyword",
    ["expressions\0junk", "\ud800", "Expressions", "expression"],
    ids=["embedded-nul", "lone-surrogate", "case", "prefix"],
)
def test_keyword_names_match_exactly(keyword, payment):
    # A keyword that merely starts like a parameter, or cannot be encoded, is unknown.
    with pytest.raises(TypeError, match="unexpected keyword argument"):
        _mirvon.fixed_price(payment, Recorder(), flat_dataset(), **{keyword: {}})


def test_arguments_bind_by_keyword_in_any_order(payment):
    dataset = flat_dataset()
    expected = _mirvon.fixed_price(payment, Recorder(), dataset, {})
    assert expected == pytest.approx(0.951229424500714)
    values = {"events_rb": payment, "py_state": Recorder(), "dataset": dataset, "expressions": {}}
    names = list(values)
    assert _mirvon.fixed_price(**{n: values[n] for n in reversed(names)}) == expected
    for split in range(5):
        positional = [values[n] for n in names[:split]]
        keywords = {n: values[n] for n in reversed(names[split:])}
        assert _mirvon.fixed_price(*positional, **keywords) == expected


def test_backtest_parameter_orders_differ(payment):
    # backtest_py takes expressions before base, backtest_csv after it.
    assert _mirvon.backtest_py(payment, Recorder(), {}, "USD") is None
    assert _mirvon.backtest_py(events_rb=payment, py_state=Recorder(), base="USD", expressions={}) is None
    assert _mirvon.backtest_csv(payment, Recorder(), "f.csv", "USD", {}) is None
    with pytest.raises(TypeError, match="'expressions'"):
        _mirvon.backtest_py(payment, Recorder(), "USD", {})


@pytest.mark.parametrize(
    "name, parameter, value",
    [
        ("mc_price", "dataset", []),
        ("fixed_price", "dataset", None),
        ("fd_hullwhite_price", "expressions", [("p", {})]),
        ("backtest_csv", "_filename", 3),
        ("backtest_csv", "base", b"USD"),
        ("backtest_csv", "expressions", []),
        ("backtest_py", "base", None),
        ("backtest_py", "expressions", 1.5),
    ],
)
def test_conversion_errors_name_the_parameter(name, parameter, value, payment):
    args = _arguments(name, payment, Recorder())
    args[PARAMETERS[name].index(parameter)] = value
    with pytest.raises(TypeError) as info:
        getattr(_mirvon, name)(*args)
    assert f"'{parameter}'" in str(info.value)
    assert type(value).__name__ in str(info.value)


@pytest.mark.parametrize(
    "filename",
    ["prices-\udcff.csv", "\ud800", "a\0b.csv"],
    ids=["fsdecoded-bytes", "lone-surrogate", "embedded-nul"],
)
def test_backtest_csv_filename_only_has_to_be_a_str(filename, payment):
    # The name is never used, so text that cannot be encoded is fine and does
    # not hide an error in a later argument.
    assert _mirvon.backtest_csv(payment, Recorder(), filename, "USD", {}) is None
    with pytest.raises(TypeError, match="'expressions'"):
        _mirvon.backtest_csv(payment, Recorder(), filename, "USD", [])


@pytest.mark.parametrize("name", list(PARAMETERS))
def test_events_rb_is_converted_before_py_state_is_looked_at(name):
    state = Untouchable()
    args = _arguments(name, [("leg", 0, "+", 1.0, "USD")], state)
    # Every later argument is wrong too: the first parameter is reported.
    for i in range(2, len(args)):
        args[i] = 42
    with pytest.raises(TypeError) as info:
        getattr(_mirvon, name)(*args)
    assert "'events_rb'" in str(info.value)
    assert state.looked_up == []


def test_arguments_convert_left_to_right(payment):
    with pytest.raises(TypeError, match="'dataset'"):
        _mirvon.fixed_price(payment, Recorder(), [], [])
    with pytest.raises(TypeError, match="'_filename'"):
        _mirvon.backtest_csv(payment, Recorder(), 1, 2, [])


def test_dict_subclasses_are_accepted(payment):
    class Data(dict):
        pass

    price = _mirvon.fixed_price(payment, Recorder(), Data(flat_dataset()), Data())
    assert price == pytest.approx(0.951229424500714)


def test_py_state_is_not_checked(payment):
    # Without set_stat the statistics are lost, but the price is still returned.
    dataset = flat_dataset(FIXED={"FLAGS": 15})
    assert _mirvon.fixed_price(payment, None, dataset, {}) == pytest.approx(0.951229424500714)
    assert _mirvon.fixed_price(payment, object(), dataset, {}) == pytest.approx(0.951229424500714)


def test_successful_backtest_writes_nothing_to_stdout(capfd, payment):
    recorder = Recorder()
    assert _mirvon.backtest_csv(payment, recorder, "", "USD", {}) is None
    assert recorder.names() == ["CASHFLOW"]
    out, err = capfd.readouterr()
    assert out == "" and err == ""


def _abort(state):
    # The constant source cannot turn a time this far out into a calendar date.
    far = events_batch([("leg", 2**62, "+", 1.0, "USD")], tracks=["leg"])
    _mirvon.backtest_csv(far, state, "", "USD", {})


def test_abort_is_a_base_exception_that_except_exception_does_not_catch():
    state = Recorder()
    with pytest.raises(BaseException) as info:
        try:
            _abort(state)
        except Exception:  # noqa: BLE001 - the point is that this does not match
            pytest.fail("the abort was caught as an Exception")
    abort = type(info.value)
    assert abort.__bases__ == (BaseException,)
    assert not issubclass(abort, Exception)
    assert str(info.value) == "No such local time"
    assert info.value.args == ("No such local time",)
    assert state.stats == []
    # The same class every time, and the module keeps working afterwards.
    with pytest.raises(abort):
        _abort(Recorder())
    ok = events_batch([("leg", 0, "+", 1.0, "USD")], tracks=["leg"])
    assert _mirvon.backtest_csv(ok, Recorder(), "", "USD", {}) is None


def test_allocation_failure_becomes_memory_error(payment):
    class Model:
        def set_stat(self, name, value):
            pass

        def advance(self, t):
            return None

        def get_value(self, name):
            return None

    # More paths than a vector can hold.
    dataset = flat_dataset(MC={"PATHS": 2**61, "SEED": 1})
    with pytest.raises(MemoryError):
        _mirvon.mc_price(payment, Model(), dataset, {})


def test_calls_keep_no_references_to_their_arguments(payment):
    def phrase(inputs):
        raise ValueError("bad")

    good_expr = {"p": {"type": "phrase", "fn": phrase, "inp": []}}
    bad_expr = {"p": {"type": "phrase", "fn": phrase}}
    dataset, state = flat_dataset(), Recorder()
    phrase_batch = events_batch([("leg", 0, "+", 1.0, "p")], tracks=["leg"])
    objects = [payment, phrase_batch, dataset, state, phrase, good_expr, bad_expr]

    def run():
        _mirvon.fixed_price(payment, state, dataset, good_expr)  # success
        for batch, data, expr in [
            (phrase_batch, dataset, good_expr),  # the phrase raises in the engine
            (payment, dataset, bad_expr),  # the timetable build fails
            (payment, {}, good_expr),  # the dataset fails
        ]:
            with pytest.raises(RuntimeError):
                _mirvon.fixed_price(batch, state, data, expr)

    run()
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(20):
        run()
    gc.collect()
    assert [sys.getrefcount(o) for o in objects] == before
