import dataclasses

import pytest

from config import SolverConfig


def test_defaults_and_given_values():
    assert SolverConfig() == SolverConfig(prover_max_steps=1000, prover_timeout_sec=10.0)
    c = SolverConfig(5, 2)
    assert (c.prover_max_steps, c.prover_timeout_sec) == (5, 2.0)
    assert isinstance(c.prover_timeout_sec, float)
    assert repr(c) == "SolverConfig(prover_max_steps=5, prover_timeout_sec=2.0)"


def test_record_is_frozen_and_hashable():
    c = SolverConfig(prover_max_steps=7, prover_timeout_sec=0.5)
    with pytest.raises(dataclasses.FrozenInstanceError):
        c.prover_max_steps = 8
    assert c.prover_max_steps == 7
    assert hash(c) == hash(SolverConfig(7, 0.5))
    assert len({c, SolverConfig(7, 0.5), SolverConfig(8, 0.5)}) == 2
    assert c.__eq__((7, 0.5)) is NotImplemented


@pytest.mark.parametrize(
    "kwargs",
    [
        {"prover_max_steps": "10"},
        {"prover_max_steps": 1.5},
        {"prover_max_steps": True},
        {"prover_timeout_sec": "1"},
        {"prover_timeout_sec": None},
        {"prover_timeout_sec": False},
    ],
)
def test_wrong_types_are_refused(kwargs):
    with pytest.raises(TypeError):
        SolverConfig(**kwargs)


def test_huge_step_count_is_an_overflow_error():
    with pytest.raises(OverflowError):
        SolverConfig(prover_max_steps=1 << 80)
