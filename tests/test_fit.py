"""The token-fit filter."""
import pytest

from tests.helpers import server


def ids(records):
    return [s["id"] for s in records]


CANDIDATES = [server(1), server(3, max_input_tokens=8192), server(5, max_input_tokens=4096), server(2, max_input_tokens=4096)]


@pytest.mark.parametrize(
    "estimate, expected",
    [
        (3000, [2, 5, 3, 1]),
        (5000, [3, 1]),
        (10000, [1]),
        (4096, [2, 5, 3, 1]),
        (4097, [3, 1]),
        (0, [2, 5, 3, 1]),
        (-10, [2, 5, 3, 1]),
    ],
)
def test_fit_order(lb, estimate, expected):
    before = list(CANDIDATES)
    result = lb.filter_by_fit(CANDIDATES, estimate)
    assert ids(result) == expected
    assert CANDIDATES == before and result is not CANDIDATES
    assert all(any(r is c for c in CANDIDATES) for r in result)


def test_no_limit_values_sort_last(lb):
    cands = [server(4, max_input_tokens=0), server(3, max_input_tokens=None), server(9, max_input_tokens=100), server(1)]
    assert ids(lb.filter_by_fit(cands, 50)) == [9, 1, 3, 4]


def test_negative_limit(lb):
    cands = [server(2), server(1, max_input_tokens=-5)]
    assert ids(lb.filter_by_fit(cands, 1)) == [2]
    assert ids(lb.filter_by_fit(cands, 0)) == [1, 2]


def test_float_limit_compared_exactly_sorted_by_int_part(lb):
    cands = [server(1, max_input_tokens=4096.9), server(2, max_input_tokens=4096)]
    assert ids(lb.filter_by_fit(cands, 4096.5)) == [1]
    assert ids(lb.filter_by_fit(cands, 10)) == [1, 2]  # both sort as 4096, then by id
    big = [server(1, max_input_tokens=2**80), server(2, max_input_tokens=2**70)]
    assert ids(lb.filter_by_fit(big, 10)) == [2, 1]


def test_equal_keys_keep_list_order(lb):
    a, b = server(7), server(7)
    result = lb.filter_by_fit([a, b], 0)
    assert result[0] is a and result[1] is b


def test_empty_results(lb):
    assert lb.filter_by_fit([], 100) == []
    assert lb.filter_by_fit([server(1, max_input_tokens=10)], 100) == []


def test_fit_errors(lb):
    with pytest.raises(KeyError):
        lb.filter_by_fit([server(1), {"weight": 1}], 0)
    with pytest.raises(TypeError):
        lb.filter_by_fit([server(1, max_input_tokens="big")], 10)
    with pytest.raises(TypeError):
        lb.filter_by_fit([server(1), server("x")], 0)


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
    result = lb.filter_by_fit(cands, 0)
    assert sorted(map(id, result)) == sorted(map(id, cands))
