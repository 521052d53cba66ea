"""The process-wide time limits."""

from __future__ import annotations

import qktoken
from qktoken import TimeLimits

DEFAULTS = TimeLimits(lock_ms=60000, write_ms=5000, first_read_ms=60000, read_ms=5000)


def test_setting_some_limits_keeps_the_others_and_reset_restores_the_defaults() -> None:
    assert qktoken.reset_time_limits() == DEFAULTS
    now = qktoken.set_time_limits(write_ms=1, read_ms=qktoken.MAX_WAIT_MS)
    assert now == TimeLimits(60000, 1, 60000, qktoken.MAX_WAIT_MS) == qktoken.get_time_limits()
    assert qktoken.set_time_limits() == now
    assert qktoken.reset_time_limits() == DEFAULTS == qktoken.get_time_limits()
