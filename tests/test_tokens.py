"""Request token estimation."""
import json
import random
import sys

import pytest

import load_balancer
from bench.reference import estimate_request_tokens as reference
from load_balancer import estimate_request_tokens as estimate

IMG = 2048


def text(n, ch="a"):
    return ch * n


@pytest.mark.parametrize(
    "body, expected",
    [
        # not a dict, or nothing recognised
        ([], 0),
        ("prompt", 0),
        (None, 0),
        (42, 0),
        ({}, 0),
        ({"model": "m", "max_tokens": 4096, "temperature": 0.2}, 0),
        # completions
        ({"prompt": text(7)}, 1),
        ({"prompt": [text(4), 5, None, text(4), ["nested"]]}, 2),
        ({"prompt": 12345}, 0),
        # chat
        (
            {
                "messages": [
                    {"role": "user", "content": text(12)},
                    {"role": "user", "content": [{"type": "text", "text": text(4)}, {"type": "image_url"}]},
                ],
                "system": text(9),
            },
            6 + IMG,
        ),
        ({"messages": [{"role": "user", "content": {"type": "text", "text": text(40)}}]}, 0),
        ({"messages": [{"role": text(40)}, "not a message", 7, None]}, 0),
        ({"messages": [{"content": [text(4), 3, None, [text(8)], {"type": "output_text", "text": text(4)}]}]}, 2),
        ({"messages": [{"content": [{"type": "input_text", "text": text(8)}]}]}, 2),
        # "messages" decides whether "prompt" is read
        ({"messages": "not a list", "prompt": text(4)}, 1),
        ({"messages": None, "prompt": text(4)}, 1),
        ({"messages": [], "prompt": text(8)}, 0),
        # text parts whose text is missing, empty or not a string
        ({"messages": [{"content": [{"type": "text"}]}]}, 0),
        ({"messages": [{"content": [{"type": "text", "text": None}]}]}, 0),
        ({"messages": [{"content": [{"type": "text", "text": 12345678}]}]}, 0),
        ({"messages": [{"content": [{"type": "text", "text": ""}]}]}, 0),
        ({"messages": [{"content": [{"text": text(8)}, {"type": "tool_use", "text": text(8)}]}]}, 0),
        ({"messages": [{"content": [{"type": ["text"], "text": text(8)}, {"type": {}, "text": text(8)}]}]}, 0),
        # images and video, both shapes, flat cost whatever the payload
        ({"messages": [{"content": [{"type": "image", "source": {"type": "base64", "data": text(999)}}]}]}, IMG),
        ({"messages": [{"content": [{"type": "input_image"}, {"type": "video_url", "video_url": {}}]}]}, 2 * IMG),
        ({"messages": [{"content": [{"type": "image_url", "image_url": {"url": text(500)}}]}]}, IMG),
        # system prompt
        ({"system": [{"type": "text", "text": text(8)}, {"type": "image"}]}, 2 + IMG),
        ({"system": {"type": "text", "text": text(8)}}, 0),
        # characters are summed over all fields before dividing
        ({"prompt": text(3), "system": text(1)}, 1),
        ({"prompt": text(2), "input": text(2), "instruct": text(3)}, 1),
        # code points, not bytes
        ({"prompt": "żółw"}, 1),
        ({"prompt": "日本語だ"}, 1),
        ({"prompt": "\U0001f600" * 4}, 1),
        ({"prompt": "\U0001f600" * 3}, 0),
        # embeddings / responses
        ({"input": [[1, 2, 3], [4, 5]]}, 5),
        ({"input": [text(3), 7, True]}, 2),
        ({"input": [1, 2, 3, 4]}, 4),
        ({"input": [text(4), text(4)]}, 2),
        ({"input": None}, 0),
        ({"input": 17}, 0),
        ({"input": {"type": "text", "text": text(40)}}, 0),
        ({"input": [[[1, 2, 3]], [[text(8)]]]}, 2),  # inner lists are content: numbers ignored, text counted
        ({"input": [2.5, None, False]}, 1),
        (
            {"input": [[text(2), [{"type": "text", "text": text(2)}], {"type": "image_url"}, 3, True, 2.5, None]]},
            1 + 2 + IMG,
        ),
        ({"input": [{"type": "input_text", "text": text(8)}, {"type": "input_image", "image_url": "x"}]}, 2 + IMG),
        # rerank and score
        ({"query": text(3), "documents": [text(4), {"type": "text", "text": text(2)}]}, 2),
        ({"query": [{"type": "image_url"}], "documents": [[{"type": "text", "text": text(4)}]]}, IMG + 1),
        ({"query": text(2), "items": [text(6)]}, 2),
        ({"query": text(4), "documents": [text(4)], "instruct": text(8)}, 4),
        ({"instruct": [text(8)]}, 0),
    ],
)
def test_examples(body, expected):
    assert estimate(body) == expected
    assert type(estimate(body)) is int


def test_image_cost_is_read_at_each_call(monkeypatch):
    body = {"messages": [{"content": [{"type": "image_url"}, {"type": "text", "text": text(8)}]}]}
    monkeypatch.setattr(load_balancer, "IMAGE_TOKEN_COST", 10)
    assert estimate(body) == 12
    monkeypatch.setattr(load_balancer, "IMAGE_TOKEN_COST", 2**70)
    assert estimate(body) == 2 + 2**70
    monkeypatch.setattr(load_balancer, "IMAGE_TOKEN_COST", 1.5)
    assert estimate(body) == 3.5
    monkeypatch.delattr(load_balancer, "IMAGE_TOKEN_COST")
    with pytest.raises(NameError, match="IMAGE_TOKEN_COST"):
        estimate({"prompt": "no images"})


def test_subclasses_count_as_their_base_types():
    class Body(dict):
        pass

    class Text(str):
        pass

    class Parts(list):
        pass

    class Id(int):
        pass

    body = Body(
        messages=Parts([Body(content=Parts([Body(type=Text("text"), text=Text(text(8))), Text(text(4))]))]),
        input=Parts([Parts([Id(1), True]), Id(2)]),
    )
    assert estimate(body) == 3 + 3


def test_dict_subclasses_are_read_through_their_methods():
    class Aliased(dict):
        """Answers "content"/"prompt" lookups made with get from a different key."""

        def get(self, key, default=None):
            return super().get("_" + key, default)

        def __contains__(self, key):
            return key == "input"

        def __getitem__(self, key):
            return text(8) if key == "input" else super().__getitem__(key)

    assert estimate(Aliased(_prompt=text(4), prompt=text(400))) == 1 + 2
    assert estimate({"messages": [Aliased(_content=text(8), content=text(400))]}) == 2


def test_str_subclass_length_and_truth_are_its_own():
    class Huge(str):
        def __len__(self):
            return sys.maxsize

    class Falsy(str):
        def __bool__(self):
            return False

    assert estimate({"prompt": [Huge(), Huge(), Huge()]}) == 3 * sys.maxsize // 4  # no overflow
    # a falsy text counts as the empty string
    assert estimate({"messages": [{"content": [{"type": "text", "text": Falsy(text(40))}]}]}) == 0


# ---- against the plain-Python estimate, over generated JSON bodies -----------


KEYS = ["messages", "prompt", "system", "input", "query", "items", "documents", "instruct", "content", "type",
        "text", "role"]
TYPES = ["text", "input_text", "output_text", "image_url", "image", "input_image", "video_url", "audio", ""]


def random_value(rng, depth):
    roll = rng.random()
    if depth <= 0 or roll < 0.3:
        return rng.choice([
            None, True, False, rng.randint(-5, 10**6), rng.random() * 100,
            "".join(rng.choice("abcé日\U0001f600 ") for _ in range(rng.randint(0, 12))),
            rng.choice(TYPES),
        ])
    if roll < 0.6:
        return [random_value(rng, depth - 1) for _ in range(rng.randint(0, 4))]
    part = {rng.choice(KEYS): random_value(rng, depth - 1) for _ in range(rng.randint(0, 4))}
    if rng.random() < 0.5:
        part["type"] = rng.choice(TYPES)
    return part


@pytest.mark.parametrize("seed", range(4))
def test_matches_reference_on_generated_bodies(seed):
    rng = random.Random(seed)
    for _ in range(400):
        body = {rng.choice(KEYS): random_value(rng, 5) for _ in range(rng.randint(0, 6))}
        body = json.loads(json.dumps(body))  # exactly what a parsed request gives
        assert estimate(body) == reference(body), body
