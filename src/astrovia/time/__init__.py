"""Time scales: ``astrovia.time.time.Time``.

Who owns what: ``astrovia.time.time`` owns ``Time`` (epochs as int64 TT nanoseconds
and their UTC, TAI, TT and UT1 views); ``astrovia.iers`` owns the data it stands on
(TAI-UTC eras and leap seconds, the Earth-orientation series, ``EOP``). The
dependency runs one way, ``time`` on ``iers``. Every per-epoch native loop of both
lives in ``astrovia.time._timecore``, a leaf that imports nothing of astrovia and
is handed the tables on each call.
"""
