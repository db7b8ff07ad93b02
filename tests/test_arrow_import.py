"""Importing the events batch through the Arrow PyCapsule protocol: producers
other than pyarrow's RecordBatch, broken producers, and structures that break
the C data interface's rules. Every imported structure is released exactly once."""

import ctypes
import gc
import math
import sys

import numpy as np
import pyarrow as pa
import pytest

import _mirvon
from conftest import YEAR, Recorder, events_batch, flat_dataset

DF = math.exp(-0.05)


class ArrowSchema(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p),
    ("name", ctypes.c_char_p),
    ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))),
    ("dictionary", ctypes.POINTER(ArrowSchema)),
    ("release", ctypes.c_void_p),
    ("private_data", ctypes.c_void_p),
]


class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [
    ("length", ctypes.c_int64),
    ("null_count", ctypes.c_int64),
    ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
    ("dictionary", ctypes.POINTER(ArrowArray)),
    ("release", ctypes.c_void_p),
    ("private_data", ctypes.c_void_p),
]

RELEASE = ctypes.CFUNCTYPE(None, ctypes.c_void_p)

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


class Counted:
    """Wraps a structure's release callback to count how often it runs."""

    def __init__(self, struct):
        self.calls = 0
        if struct.release is None:
            self.calls = 1  # released by its producer before it was handed over
            return
        self._original = RELEASE(struct.release)

        def release(address):
            self.calls += 1
            self._original(address)

        self._callback = RELEASE(release)
        struct.release = ctypes.cast(self._callback, ctypes.c_void_p).value


# Callbacks must outlive every capsule that may still call them.
_KEEP = []


class Producer:
    """A producer of the capsule protocol that is not a pyarrow object: it hands
    out pyarrow's capsules, after `tamper` has edited the exported structures."""

    def __init__(self, source, tamper=None):
        self.source = source
        self.tamper = tamper
        self.schema_releases = []
        self.array_releases = []

    def __arrow_c_array__(self, requested_schema=None):
        schema_capsule, array_capsule = self.source.__arrow_c_array__()
        schema = ArrowSchema.from_address(_get_pointer(schema_capsule, b"arrow_schema"))
        array = ArrowArray.from_address(_get_pointer(array_capsule, b"arrow_array"))
        if self.tamper is not None:
            self.tamper(schema, array)
        s, a = Counted(schema), Counted(array)
        _KEEP.extend([s, a])
        self.schema_releases.append(s)
        self.array_releases.append(a)
        return schema_capsule, array_capsule

    def released_once(self):
        # Capsules hold no cycles: they are gone as soon as the call returns.
        counts = [c.calls for c in self.schema_releases + self.array_releases]
        return bool(counts) and all(c == 1 for c in counts)


@pytest.fixture
def events():
    # Quantities 1, 2, 4 tell which rows were read.
    return events_batch([("leg", YEAR, "+", q, "USD") for q in (1.0, 2.0, 4.0)], tracks=["leg"])


def fixed(obj):
    return _mirvon.fixed_price(obj, Recorder(), flat_dataset(), {})


def column_index(name):
    return ["track", "time", "op", "quantity", "unit"].index(name)


# Producers that follow the protocol ------------------------------------------


def test_own_producer_is_imported_and_released_once(events):
    producer = Producer(events)
    assert fixed(producer) == pytest.approx(7 * DF)
    assert producer.released_once()


@pytest.mark.parametrize(
    "make, rows",
    [
        (lambda b: b, 7.0),
        (lambda b: b.slice(1), 6.0),
        (lambda b: b.slice(0, 2), 3.0),
        (lambda b: pa.StructArray.from_arrays(b.columns, names=b.schema.names), 7.0),
        (lambda b: pa.StructArray.from_arrays(b.columns, names=b.schema.names).slice(1, 1), 2.0),
        (lambda b: pa.StructArray.from_arrays(b.columns, names=b.schema.names).slice(2), 4.0),
    ],
    ids=["batch", "sliced-batch", "batch-head", "struct-array", "struct-slice", "struct-tail"],
)
def test_offsets_select_the_right_rows(make, rows, events):
    source = make(events)
    assert fixed(source) == pytest.approx(rows * DF)
    producer = Producer(source)
    assert fixed(producer) == pytest.approx(rows * DF)
    assert producer.released_once()


def test_batches_are_released_on_success_and_failure():
    # The counting release callbacks run Python code, so they also show that no
    # release runs while the call's exception is pending (the exception would be
    # lost, or the release skipped).
    gc.collect()
    baseline = pa.total_allocated_bytes()
    big = events_batch([("leg", YEAR, "+", 1.0, "USD")] * 10_000, tracks=["leg"])
    producer = Producer(big)
    far = Producer(events_batch([("leg", 2**62, "+", 1.0, "USD")], tracks=["leg"]))
    bad = {"p": {"type": "batch"}}
    for _ in range(5):
        assert fixed(producer) == pytest.approx(10_000 * DF)
        with pytest.raises(RuntimeError, match="Batch is not supported"):
            _mirvon.fixed_price(producer, Recorder(), flat_dataset(), bad)
        with pytest.raises(RuntimeError, match="missing key 'BASE'"):
            _mirvon.fixed_price(producer, Recorder(), {}, {})
        with pytest.raises(TypeError, match="'dataset'"):
            _mirvon.fixed_price(producer, Recorder(), [], {})
        with pytest.raises(TypeError, match="'base'"):
            _mirvon.backtest_py(producer, Recorder(), {}, None)
        with pytest.raises(BaseException, match="No such local time"):
            _mirvon.backtest_csv(far, Recorder(), "", "USD", {})
        assert _mirvon.backtest_csv(producer, Recorder(), "", "USD", {}) is None
    assert far.released_once()
    assert producer.released_once()
    assert sys.getrefcount(producer) == 2
    del big, producer, far
    gc.collect()
    assert pa.total_allocated_bytes() == baseline


# Producers that break the protocol -------------------------------------------


class Returns:
    def __init__(self, make):
        self.make = make

    def __arrow_c_array__(self, requested_schema=None):
        return self.make()


def _capsules(events):
    return events.__arrow_c_array__()


@pytest.mark.parametrize(
    "make, needle",
    [
        (lambda b: list(_capsules(b)), "tuple"),
        (lambda b: _capsules(b)[:1], "tuple"),
        (lambda b: _capsules(b) + (None,), "tuple"),
        (lambda b: _capsules(b)[::-1], "arrow_schema"),
        (lambda b: (_capsules(b)[0], _capsules(b)[0]), "arrow_array"),
        (lambda b: (_capsules(b)[0], pa.table(b).__arrow_c_stream__()), "arrow_array"),
        (lambda b: (1, 2), "arrow_schema"),
        (lambda b: None, "tuple"),
    ],
    ids=["list", "one", "three", "swapped", "two-schemas", "stream", "ints", "none"],
)
def test_malformed_protocol_results(make, needle, events):
    with pytest.raises(TypeError) as info:
        fixed(Returns(lambda: make(events)))
    assert "'events_rb'" in str(info.value) and needle in str(info.value)


def test_unconsumed_capsules_are_released_by_their_owner(events):
    # The engine refuses the swapped pair without taking either structure over.
    producer = Producer(events)

    class Swapped:
        def __arrow_c_array__(self, requested_schema=None):
            return producer.__arrow_c_array__()[::-1]

    with pytest.raises(TypeError):
        fixed(Swapped())
    assert producer.released_once()


def test_exceptions_from_the_producer_pass_unchanged():
    class Broken:
        def __arrow_c_array__(self, requested_schema=None):
            raise KeyError("from the producer")

    with pytest.raises(KeyError, match="from the producer"):
        fixed(Broken())


@pytest.mark.parametrize("obj", [[], None, {"track": []}, 3.5], ids=repr)
def test_objects_without_the_protocol_are_refused(obj):
    with pytest.raises(TypeError, match="'events_rb'"):
        fixed(obj)


@pytest.mark.parametrize("attribute", [None, 5, "capsules"], ids=repr)
def test_a_protocol_attribute_that_cannot_be_called_is_refused_like_no_protocol(attribute):
    NotAProducer = type("NotAProducer", (), {"__arrow_c_array__": attribute})
    with pytest.raises(TypeError) as info:
        fixed(NotAProducer())
    assert str(info.value) == (
        "fixed_price() argument 'events_rb' must be an Arrow record batch "
        "(an object with __arrow_c_array__), not NotAProducer"
    )


def test_a_table_is_not_a_record_batch(events):
    with pytest.raises(TypeError, match="'events_rb'"):
        fixed(pa.table(events))


def test_a_struct_array_with_null_rows_is_refused(events):
    masked = pa.StructArray.from_arrays(events.columns, names=events.schema.names,
                                        mask=pa.array([False, True, False]))
    producer = Producer(masked)
    with pytest.raises(ValueError, match="'events_rb'.*null rows"):
        fixed(producer)
    assert producer.released_once()
    # Nulls outside the rows in use do not matter.
    assert fixed(masked.slice(2)) == pytest.approx(4 * DF)


@pytest.mark.parametrize("array", [pa.array([1.0, 2.0]), pa.array(["a"]), pa.array([[1]])], ids=str)
def test_the_top_level_must_be_a_struct(array):
    producer = Producer(array)
    with pytest.raises(ValueError, match="'events_rb'.*struct"):
        fixed(producer)
    assert producer.released_once()


# Structures that break the C data interface ----------------------------------


def child(array, name):
    return array.children[column_index(name)].contents


def child_schema(schema, name):
    return schema.children[column_index(name)].contents


def set_buffer(array, i, value):
    array.buffers[i] = value


def _drop_dictionary(schema, array):
    # The dictionary lives inside its parent's private data, so it is released
    # here, while the parent is alive, and the parent is left without it.
    dictionary = child(array, "op").dictionary.contents
    RELEASE(dictionary.release)(ctypes.addressof(dictionary))
    child(array, "op").dictionary = ctypes.POINTER(ArrowArray)()


def _released_already(schema, array):
    RELEASE(array.release)(ctypes.addressof(array))


def _unit_offsets(offsets):
    def tamper(schema, array):
        values = child(array, "unit").dictionary.contents
        own = np.array(offsets, np.int32)
        _KEEP.append(own)
        set_buffer(values, 1, own.ctypes.data)

    return tamper


@pytest.mark.parametrize(
    "tamper, error, text",
    [
        # The record batch itself.
        (lambda s, a: setattr(a, "length", -1), ValueError, "negative length or offset"),
        (lambda s, a: setattr(a, "offset", -2), ValueError, "negative length or offset"),
        (lambda s, a: setattr(a, "n_buffers", 0), ValueError, "validity buffer"),
        (lambda s, a: setattr(s, "format", b"+l"), ValueError, "struct"),
        (lambda s, a: setattr(s, "format", None), ValueError, "struct"),
        (lambda s, a: setattr(child_schema(s, "op"), "format", None), ValueError, "column 2 has no format"),
        (lambda s, a: (setattr(a, "null_count", 1), setattr(a, "buffers", None)), ValueError, "validity buffer"),
        (_released_already, ValueError, "released"),
        # One column.
        (lambda s, a: setattr(child(a, "quantity"), "n_buffers", 1), RuntimeError,
         "Column 'quantity' is malformed: expected 2 buffers, got 1"),
        (lambda s, a: set_buffer(child(a, "time"), 1, None), RuntimeError,
         "Column 'time' is malformed: the values buffer is missing"),
        (lambda s, a: setattr(child(a, "unit"), "length", 2), RuntimeError,
         "Column 'unit' is malformed: length 2 is shorter than the 3 rows of the batch"),
        (lambda s, a: setattr(child(a, "track"), "offset", -1), RuntimeError,
         "Column 'track' is malformed: negative length or offset"),
        (lambda s, a: setattr(child(a, "time"), "length", -3), RuntimeError,
         "Column 'time' is malformed: negative length or offset"),
        (lambda s, a: (setattr(child(a, "quantity"), "null_count", 1), set_buffer(child(a, "quantity"), 0, None)),
         RuntimeError, "Column 'quantity' is malformed: nulls are counted but there is no validity buffer"),
        (_drop_dictionary, RuntimeError, "Column 'op' is malformed: the dictionary is missing"),
        (lambda s, a: setattr(child(a, "op").dictionary.contents, "length", -1), RuntimeError,
         "Column 'op' is malformed: the dictionary is missing"),
        (lambda s, a: setattr(child_schema(s, "track"), "name", None), RuntimeError, "Column 'track' not found"),
        # A dictionary's string values.
        (lambda s, a: setattr(child(a, "unit").dictionary.contents, "n_buffers", 2), RuntimeError,
         "Error in units column: expected 3 buffers, got 2"),
        (lambda s, a: set_buffer(child(a, "unit").dictionary.contents, 1, None), RuntimeError,
         "Error in units column: the string offsets buffer is missing"),
        (lambda s, a: set_buffer(child(a, "unit").dictionary.contents, 2, None), RuntimeError,
         "Error in units column: the string data buffer is missing"),
        (lambda s, a: set_buffer(child(a, "track").dictionary.contents, 1, None), RuntimeError,
         "Error in tracks column: the string offsets buffer is missing"),
        (lambda s, a: setattr(child(a, "op").dictionary.contents, "offset", -1), RuntimeError,
         "Error in ops column: negative length or offset"),
        (_unit_offsets([-1, 3]), RuntimeError, "Error in units column: negative string offset"),
    ],
)
def test_broken_structures_are_refused(tamper, error, text, events):
    producer = Producer(events, tamper)
    with pytest.raises(error) as info:
        fixed(producer)
    assert text in str(info.value)
    if error is ValueError:
        assert "'events_rb'" in str(info.value)
    else:
        assert str(info.value).startswith("Error while parsing Timetable, caused by \n")
    assert producer.released_once()


def string_values(offsets, data):
    return pa.Array.from_buffers(
        pa.string(), len(offsets) - 1, [None, pa.py_buffer(np.array(offsets, np.int32)), pa.py_buffer(data)]
    )


def test_decreasing_string_offsets_are_refused(events):
    unit = pa.DictionaryArray.from_arrays(pa.array([0, 1, 0], pa.int64()), string_values([0, 3, 1], b"abc"))
    broken = events.set_column(column_index("unit"), "unit", unit)
    with pytest.raises(RuntimeError) as info:
        fixed(broken)
    assert str(info.value) == "Error while parsing Timetable, caused by \nError in units column: string offsets decrease"


def test_dictionary_values_may_have_an_offset(events):
    values = pa.array(["junk", "USD", "EUR"]).slice(1)
    unit = pa.DictionaryArray.from_arrays(pa.array([0, 0, 0], pa.int64()), values)
    assert fixed(events.set_column(column_index("unit"), "unit", unit)) == pytest.approx(7 * DF)
