"""The token-fit filter."""
import pytest

from tests.helpers import server

LIMITS = [server(1), server(3, max_input_tokens=8192), server(5, max_input_tokens=4096), server(2, max_input_tokens=4096)]


@pytest.mark.parametrize(
    "cands, estimate, expected",
    [
        (LIMITS, 3000, [2, 5, 3, 1]),
        (LIMITS, 5000, [3, 1]),
        (LIMITS, 10000, [1]),
        (LIMITS, 4096, [2, 5, 3, 1]),  # a limit equal to the estimate fits
        (LIMITS, 4097, [3, 1]),
        (LIMITS, 0, [2, 5, 3, 1]),  # nothing filtered, still sorted
        (LIMITS, -10, [2, 5, 3, 1]),
        ([server(4, max_input_tokens=0), server(3, max_input_tokens=None), server(9, max_input_tokens=100)], 50, [9, 3, 4]),
        ([server(2), server(1, max_input_tokens=-5)], 1, [2]),
        ([server(2), server(1, max_input_tokens=-5)], 0, [1, 2]),
        ([server(1, max_input_tokens=4096.9), server(2, max_input_tokens=4096)], 4096.5, [1]),  # compared exactly
        ([server(1, max_input_tokens=4096.9), server(2, max_input_tokens=4096)], 10, [1, 2]),  # sorted by int part
        ([server(1, max_input_tokens=2**80), server(2, max_input_tokens=2**70)], 10, [2, 1]),
        ([server(1, max_input_tokens=10)], 100, []),
        ([], 100, []),
    ],
)
def test_fit_order(lb, cands, estimate, expected):
    before = list(cands)
    result = lb.filter_by_fit(cands, estimate)
    assert [s["id"] for s in result] == expected
    assert cands == before and result is not cands
    assert all(any(r is c for c in cands) for r in result)


def test_equal_keys_keep_list_order(lb):
    a, b = server(7), server(7)
    result = lb.filter_by_fit([a, b], 0)
    assert result[0] is a and result[1] is b


@pytest.mark.parametrize(
    "cands, estimate, exc",
    [
        ([server(1), {"weight": 1}], 0, KeyError),
        ([server(1, max_input_tokens="big")], 10, TypeError),
        ([server(1, max_input_tokens="big")], 0, ValueError),
        ([server(1), server("x")], 0, TypeError),
    ],
)
def test_fit_errors(lb, cands, estimate, exc):
    with pytest.raises(exc):
        lb.filter_by_fit(cands, estimate)


def test_inconsistent_ordering_cannot_break_the_sort(lb):
    class Chaotic:
        calls = 0

        def __eq__(self, other):
            return False

        def __lt__(self, other):
            Chaotic.calls += 1
            return Chaotic.calls % 3 != 0

        __hash__ = object.__hash__

    cands = [server(Chaotic()) for _ in range(40)]
    assert sorted(map(id, lb.filter_by_fit(cands, 0))) == sorted(map(id, cands))
