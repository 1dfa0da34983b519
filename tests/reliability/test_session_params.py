"""No test is parametrised with a native object.

pytest keeps the parameters of every collected test until the interpreter
exits; a native instance among them (a TLE made at collection) is still alive
when nanobind checks for leaked instances at exit, and the suite run in one
interpreter fails that check. Tests take names or lines as parameters and make
their native objects themselves.
"""


def _native_objects(value, depth=0):
    if "nb_type" in type(type(value)).__name__:
        yield value
    elif depth < 4 and isinstance(value, (list, tuple, set, frozenset)):
        for item in value:
            yield from _native_objects(item, depth + 1)
    elif depth < 4 and isinstance(value, dict):
        for item in value.values():
            yield from _native_objects(item, depth + 1)


def test_no_collected_test_holds_a_native_object(request):
    offenders = []
    for item in request.session.items:
        callspec = getattr(item, "callspec", None)
        if callspec is None:
            continue
        for name, value in callspec.params.items():
            for obj in _native_objects(value):
                offenders.append(f"{item.nodeid}: {name} holds a {type(obj).__name__}")
    assert not offenders, "\n".join(offenders[:20])
