import gc
import sys
import weakref

import pytest

from quillset import LayoutConfig, Quillset, TextSize

OBJ = (100, 100, 300, 200)
OTHER = (500, 500, 700, 600)  # top anchor at (500, 480)


def lefts_tops(q):
    return [(r.left, r.top) for r in q.layout()]


def test_bound_method_instance_lives_as_long_as_engine():
    class Measurer:
        def measure(self, text, size):
            return TextSize(46, 12, 4)

    m = Measurer()
    ref = weakref.ref(m)
    q = Quillset(1000, 1000, m.measure)
    del m
    gc.collect()
    assert ref() is not None
    q.add(*OBJ, "x", 16)
    q.clear()
    del q
    assert ref() is None


def test_engine_holds_exactly_one_reference():
    def f(text, size):
        return TextSize(46, 12, 4)

    before = sys.getrefcount(f)
    for config in (None, TextSize(1, 2), "config"):  # fails after converting f
        with pytest.raises(TypeError):
            Quillset(1000, 1000, f, config)
        assert sys.getrefcount(f) == before
    q = Quillset(1000, 1000, f)
    assert sys.getrefcount(f) == before + 1
    q.add(*OBJ, "x", 16)
    q.solve()
    assert sys.getrefcount(f) == before + 1
    del q
    assert sys.getrefcount(f) == before


@pytest.mark.parametrize(
    "base,sizes",
    [
        (16, [16, 14, 12, 12]),
        (100, [100, 90, 80, 75]),
        (12, [12, 10, 9, 9]),
        (11, [11, 9]),
        (9, [9]),
        (8, []),
    ],
)
def test_called_once_per_tier_in_order(engine, measure, base, sizes):
    engine.add(*OBJ, "héllo wörld", base)
    assert measure.calls == [("héllo wörld", s) for s in sizes]
    assert all(type(t) is str and type(s) is int for t, s in measure.calls)


def test_raised_error_is_passed_through_and_callable_reused():
    boom = ValueError("boom")
    calls = []

    def flaky(text, size):
        calls.append(size)
        if len(calls) == 2:
            raise boom
        return TextSize(46, 12, 4)

    q = Quillset(1000, 1000, flaky)
    with pytest.raises(ValueError) as info:
        q.add(*OBJ, "x", 16)
    assert info.value is boom
    assert any(entry.name == "flaky" for entry in info.traceback)
    assert calls == [16, 14]
    q.add(*OTHER, "y", 16)
    assert calls == [16, 14, 16, 14, 12, 12]
    assert lefts_tops(q) == [(500.0, 480.0)]


CAST = "^Unable to cast Python instance of type "


@pytest.mark.parametrize(
    "reply,error,match",
    [
        (lambda t, s: None, TypeError, "^add\\(\\): incompatible function arguments"),
        (lambda t, s: (46, 12, 4), RuntimeError, CAST),
        (lambda t, s: 46, RuntimeError, CAST),
        (lambda t, s: {"width": 46}, RuntimeError, CAST),
        (lambda t, s: {}[s], KeyError, "14"),
    ],
)
def test_failed_add_leaves_engine_usable(reply, error, match):
    # Only the second tier of the label "bad" fails, so its first tier's candidates
    # are already stored when add gives up.
    def measure(text, size):
        return reply(text, size) if (text, size) == ("bad", 14) else TextSize(46, 12, 4)

    q = Quillset(1000, 1000, measure)
    q.add(*OBJ, "ok", 16)
    with pytest.raises(error, match=match):
        q.add(100, 400, 300, 500, "bad", 16)
    q.add(*OTHER, "ok", 16)
    assert lefts_tops(q) == [(100.0, 80.0), (500.0, 480.0)]
    q.solve()
    assert lefts_tops(q) == [(100.0, 80.0), (500.0, 480.0)]


def test_keyword_only_callable_error_comes_out_unchanged():
    def kw_only(*, text, size):
        return TextSize(46, 12, 4)

    with pytest.raises(TypeError) as direct:
        kw_only("x", 16)
    q = Quillset(1000, 1000, kw_only)
    with pytest.raises(TypeError) as info:
        q.add(*OBJ, "x", 16)
    assert str(info.value) == str(direct.value)
    assert q.layout() == []


def test_text_size_subclass_accepted():
    class Size(TextSize):
        pass

    q = Quillset(1000, 1000, lambda t, s: Size(60, 10, 2))
    q.add(*OBJ, "x", 16)
    r = q.layout()[0]
    assert (r.top, r.width, r.height, r.textAscent, r.textDescent) == (84.0, 64, 16, 10, 6)


def test_none_measure_func():
    q = Quillset(1000, 1000, None)
    q.set_config(LayoutConfig())
    q.set_canvas_size(500, 500)
    q.clear()
    with pytest.raises(RuntimeError, match="bad_function_call"):
        q.add(*OBJ, "x", 12)
    q.add(*OBJ, "x", 8)
    r = q.layout()[0]
    assert (r.left, r.top, r.width, r.height, r.fontSize) == (0.0, 0.0, 0, 0, 8)


@pytest.mark.parametrize(
    "text,seen",
    [
        (b"x", "x"),
        (bytearray(b"x"), "x"),
        ("caf\u00e9".encode(), "caf\u00e9"),
        ("a\0b", "a\0b"),
        (b"a\0b", "a\0b"),
    ],
)
def test_text_arrives_as_str(engine, measure, text, seen):
    engine.add(*OBJ, text, 9)
    assert measure.calls == [(seen, 9)]
    assert type(measure.calls[0][0]) is str


@pytest.mark.parametrize("text", [b"\xff", bytearray(b"ab\xc3"), b"\xed\xa0\x80"])
def test_invalid_utf8_fails_before_measuring(engine, measure, text):
    with pytest.raises(UnicodeDecodeError):
        engine.add(*OBJ, text, 16)
    assert measure.calls == []
    engine.add(*OTHER, "ok", 16)
    assert lefts_tops(engine) == [(500.0, 480.0)]
