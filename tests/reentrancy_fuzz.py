"""Child program of test_reentrancy.py: randomised calls of Body and BodyArray whose
arguments, module globals, finalisers and profile hook run Python code that mutates what
the module is working on. Each case is built twice from its own seed, once for the module
and once for the pure-Python model of test_model.py; both must give the same result or
the same exception type. When a keyword's __eq__ changes the keyword dict while Body binds,
binding the dict as it was when the call began (as a Python function binds its keywords)
is sound as well as binding it as it is at each lookup.

    python reentrancy_fuzz.py SEED FIRST COUNT

Before each case "case SEED:N: <description>" goes to stderr, so that a crash names its
case; the mismatches go to stdout as JSON at the end. A case runs alone as `SEED N 1`.
"""
import builtins
import ctypes
import gc
import importlib
import json
import os
import random
import sys
import warnings
import weakref

import numpy as np

import orbitra.body as ob
from test_model import MISSING, NAMES, check_probe, lookup, model_body

call = ctypes.pythonapi.PyObject_Call  # hands the case's own dict to Body
call.argtypes = (ctypes.py_object,) * 3
call.restype = ctypes.py_object

FIELDS = ("m", "r", "v", "probe")
MODULE = "orbitra\\body"
BODY = ob.Body(1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8)
RECORDS = np.frombuffer(bytes(range(57)) * 2, ob.dtype).copy()
OTHER_DTYPES = [np.dtype([("m", "f8"), ("r", "f8", 3), ("v", "f8", 3), ("probe", "i1")]),
                np.dtype([("m", "f4"), ("probe", "i2"), ("r", "f4", 3), ("v", "f8", 3)]), "x"]

ARMED = [False]  # callbacks act only during the two runs, not while a case is built
KEPT = []  # what actions allocate stays until the case ends, reusing freed memory


class Env:
    """What one realisation of a case can reach: its keyword dict, its body list and the
    arrays its stand-in np.empty made."""

    def __init__(self):
        self.kwargs, self.bodies, self.made = {}, [], []


# ---------------------------------------------------------------------------------------
# Actions. Targeted ones run only from callbacks the module and the model call at the same
# step; neutral ones change nothing a correct module returns, so finalisers, profile hooks
# and frame creation may run them at any moment.

def nested_calls(*calls):
    """Calls that succeed, or that fail and so set the module's failure location; a module
    global that a targeted action removed fails the former too."""
    def act(env):
        for f in calls:
            try:
                f()
            except Exception:  # noqa: BLE001 - only the calls' side effects matter
                pass
    return act


def churn_module_dict():
    # One entry in and out: more would rebuild the table and could change which of two
    # colliding keys a lookup meets first, which is no longer neutral.
    ob.__dict__["junk"] = 0
    del ob.__dict__["junk"]


def other_hook(frame, event, arg):
    pass


def reimport(env):  # a module that started up once is copied, not started again
    module = sys.modules.pop("orbitra.body")
    importlib.import_module("orbitra.body")
    sys.modules["orbitra.body"] = module


NEUTRAL = {
    "unhook": lambda env: sys.setprofile(None),
    "swap hook": lambda env: sys.setprofile(other_hook),
    "nested failing Body": nested_calls(lambda: ob.Body(probe=1000)),
    "nested failing BodyArray": nested_calls(lambda: ob.BodyArray([{}])),
    "nested calls": nested_calls(lambda: ob.Body(1.0, probe=2), lambda: ob.BodyArray([BODY])),
    "collect": lambda env: gc.collect(0),
    "churn module dict": lambda env: churn_module_dict(),
}
# Only hooks (run in the module's run alone) re-import.
HOOK_ACTIONS = dict(NEUTRAL, **{"re-import": reimport})


def reuse_memory():
    KEPT.append([float(k) + 0.25 for k in range(64)])
    KEPT.append([object() for _ in range(16)])


def clear_kwargs(env):
    env.kwargs.clear()
    reuse_memory()


def body_lists(env):
    """The caller's list and every list holding one of its items: the module's copy too."""
    found = [env.bodies] if type(env.bodies) is list else []
    for item in list(env.bodies)[:1]:
        found += [o for o in gc.get_referrers(item) if type(o) is list and o is not found
                  and o is not env.bodies and o is not KEPT]
    return found


def each_list(change):
    def act(env):
        for victim in body_lists(env):
            change(victim)
        reuse_memory()
    return act


def each_array(change):
    def act(env):
        for ref in env.made:
            arr = ref() if isinstance(ref, weakref.ref) else ref
            if isinstance(arr, np.ndarray) and len(arr):
                change(arr)
    return act


def freeze(arr):
    arr.flags.writeable = False


def retype(arr):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        arr.dtype = OTHER_DTYPES[0] if arr.dtype.itemsize == 57 else arr.dtype


def raise_error(env):
    raise ValueError("from a callback")


TARGETED = dict(NEUTRAL, **{
    "clear kwargs": clear_kwargs,
    "pop kwargs": lambda env: env.kwargs and env.kwargs.pop(next(iter(env.kwargs))),
    "grow kwargs": lambda env: env.kwargs.update(("k%d" % k, [k]) for k in range(30)),
    "rebind kwargs": lambda env: env.kwargs.update(x=0.5, probe=1000, vz="s"),
    "clear lists": each_list(lambda lst: lst.clear()),
    "append to lists": each_list(lambda lst: lst.append(BODY)),
    "pop lists": each_list(lambda lst: lst and lst.pop()),
    "replace in lists": each_list(lambda lst: lst and lst.__setitem__(0, {"m": 1.0})),
    "np stand-in": lambda env: setattr(ob, "np", StandIn(env, "strong")),
    "del np": lambda env: ob.__dict__.pop("np", None),
    "np is numpy": lambda env: setattr(ob, "np", np),
    "other dtype": lambda env: setattr(ob, "dtype", OTHER_DTYPES[0]),
    "del dtype": lambda env: ob.__dict__.pop("dtype", None),
    "builtins np": lambda env: setattr(builtins, "np", np),
    "empty __builtins__": lambda env: ob.__dict__.__setitem__("__builtins__", {}),
    "write arrays": each_array(lambda arr: arr[0].__setitem__("m", -5.0)),
    "freeze arrays": each_array(freeze),
    "retype arrays": each_array(retype),
    "raise": raise_error,
})


class Trigger:
    """Runs its action at its n-th armed call. A neutral action runs disarmed: the
    callbacks its own calls reach must count the same in the module's run and the model's."""

    def __init__(self, rng, env, table):
        self.name = rng.choice(sorted(table))
        self.action, self.env, self.countdown = table[self.name], env, rng.choice([1, 1, 2, 3])
        self.neutral = table is NEUTRAL or table is HOOK_ACTIONS

    def __call__(self):
        if ARMED[0]:
            self.countdown -= 1
            if self.countdown == 0:
                ARMED[0] = not self.neutral
                try:
                    self.action(self.env)
                finally:
                    ARMED[0] = True

    def __repr__(self):
        return self.name


# ---------------------------------------------------------------------------------------
# Hostile objects

class Num:
    def __init__(self, value, trigger):
        self.value, self.trigger = value, trigger

    def give(self):
        self.trigger()
        if isinstance(self.value, Exception):
            raise self.value
        return self.value

    def __repr__(self):
        return "Num(%r, %r)" % (self.value, self.trigger)


class FloatNum(Num):
    def __float__(self):
        return self.give()

    def __int__(self):
        return self.give()


class IndexNum(Num):
    def __index__(self):
        return self.give()


class Key(str):
    """A keyword or module-dict key with another name's hash, whose __eq__ acts."""

    def __new__(cls, text, like, trigger, equal):
        self = str.__new__(cls, text)
        self.like, self.trigger, self.equal = like, trigger, equal
        return self

    def __hash__(self):
        return hash(self.like)

    def __eq__(self, other):
        if not ARMED[0]:
            return str.__eq__(self, other)
        self.trigger()
        if self.equal == "recurse":  # through the frames the failure's traceback entry needs
            try:
                ob.Body(probe=1000)
            except OverflowError:
                pass
        if self.equal == "raise":
            raise ValueError("from __eq__")
        return str.__eq__(self, other) if self.equal == "text" else self.equal

    def __repr__(self):
        return "Key(%s~%s, %r, %s)" % (str.__str__(self), self.like, self.trigger, self.equal)


class Item(dict):
    def __init__(self, body, field, trigger):
        super().__init__(body)
        self.field, self.trigger = field, trigger

    def __getitem__(self, key):
        if key == self.field:
            self.trigger()
        return dict.__getitem__(self, key)

    def __repr__(self):
        return "Item(%s, %s at %s)" % (dict.__repr__(self), self.trigger, self.field)


class DyingItem(Item):
    """Freed when the module lets its list go; its finaliser then runs."""

    def __del__(self):
        self.trigger()


class Triple:
    def __init__(self, values, trigger, at):
        self.values, self.trigger, self.at = values, trigger, at

    def __len__(self):
        return 3

    def __getitem__(self, index):
        if index == self.at:
            self.trigger()
        return self.values[index]

    def __repr__(self):
        return "Triple(%r, %r)" % (self.values, self.trigger)


class Bodies:
    def __init__(self, items, trigger, at):
        self.items, self.trigger, self.at = items, trigger, at

    def __iter__(self):
        for k, item in enumerate(self.items):
            if k == self.at:
                self.trigger()
            yield item

    def __repr__(self):
        return "Bodies(%r, %r at %d)" % (self.items, self.trigger, self.at)


class Drain:
    """An iterator that lets each item go as it hands it on."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return self

    def __next__(self):
        if not self.items:
            raise StopIteration
        return self.items.pop(0)

    def __repr__(self):
        return "Drain(%r)" % self.items


class Dying:
    """Garbage in a reference cycle: the collector runs its finaliser whenever it runs."""

    def __init__(self, trigger):
        self.trigger, self.cycle = trigger, self

    def __del__(self):
        self.trigger()


class StandIn:
    """np whose `empty` keeps what it makes (strongly or weakly) or makes something else."""

    def __init__(self, env, kind):
        self.env, self.kind = env, kind

    def empty(self, n, dtype):
        kind = self.kind
        if kind == "list":
            return [{} for _ in range(n)]
        arr = np.zeros(n, dtype)
        if kind == "subclass":
            arr = arr.view(Sub)
        self.env.made.append(weakref.ref(arr) if kind == "weak" else arr)
        return arr

    def __repr__(self):
        return "StandIn(%s)" % self.kind


class Sub(np.ndarray):
    pass


class Hook:
    """A profile hook that runs a neutral action at its n-th event."""

    def __init__(self, rng, env):
        self.trigger = Trigger(rng, env, HOOK_ACTIONS)
        self.trigger.countdown = rng.randint(1, 12)

    def __call__(self, frame, event, arg):
        self.trigger()

    def __repr__(self):
        return "Hook(%r)" % self.trigger


# ---------------------------------------------------------------------------------------
# Cases

def number(rng, env):
    r = rng.random()
    if r < 0.3:
        return float(rng.randint(-9, 9)) + 0.5  # a new object, held by its container only
    if r < 0.45:
        return rng.choice([-129, -128, 127, 128, 2 ** 31, True, 7])
    if r < 0.55:
        return rng.choice(["s", None, [1.0]])
    value = rng.choice([2.5, -1.0, 3, 300, "s", None, ValueError("from a conversion")])
    return rng.choice([FloatNum, FloatNum, IndexNum])(value, Trigger(rng, env, TARGETED))


def body_case(rng, env):
    args = tuple(number(rng, env) for _ in range(rng.choice([0, 0, 1, 2, 8, 9])))
    kwargs = env.kwargs
    names = list(NAMES)
    rng.shuffle(names)
    for name in names[:rng.randint(0, 5)]:
        if rng.random() < 0.3:  # probed before the name it collides with
            text = rng.choice([name, "w", name + "_"])
            equal = rng.choice(["text", True, False, "raise"])
            kwargs[Key(text, name, Trigger(rng, env, TARGETED), equal)] = number(rng, env)
        kwargs[name] = number(rng, env)
    if rng.random() < 0.1:
        kwargs[rng.choice(["w", 1])] = 1.0
    return args


def triple(rng, env):
    r = rng.random()
    values = [float(rng.randint(-5, 5)) for _ in range(3)]
    if r < 0.5:
        return values
    if r < 0.7:
        return [values[0], number(rng, env), values[2]]
    return Triple(values, Trigger(rng, env, TARGETED), rng.randint(0, 2))


def item(rng, env, dying):
    r = rng.random()
    if r < 0.1:
        return RECORDS[rng.randint(0, 1)]
    if r < 0.15:
        return 7
    body = {"m": number(rng, env) if rng.random() < 0.3 else float(rng.randint(0, 9)),
            "r": triple(rng, env), "v": triple(rng, env),
            "probe": number(rng, env) if rng.random() < 0.3 else rng.randint(-128, 127)}
    if rng.random() < 0.05:
        del body[rng.choice(FIELDS)]
    if dying or rng.random() < 0.3:
        kind = DyingItem if dying else Item
        table = NEUTRAL if dying else TARGETED
        return kind(body, rng.choice(FIELDS), Trigger(rng, env, table))
    return body


def body_array_case(rng, env):
    dying = rng.random() < 0.2  # items only the module's list holds, with finalisers
    items = [item(rng, env, dying) for _ in range(rng.randint(0, 4))]
    if dying:
        return Drain(items)
    env.bodies = items
    r = rng.random()
    if r < 0.2:
        return Bodies(items, Trigger(rng, env, TARGETED), rng.randint(0, 3))
    return tuple(items) if r < 0.3 else items


def module_setup(rng, env):
    """Module-dict and builtins changes made before the call; keys that collide with the
    names the module looks up in its dict."""
    steps = []
    if rng.random() < 0.3:
        kind = rng.choice(["strong", "weak", "subclass", "list", "plain"])
        steps.append(("np", np if kind == "plain" else StandIn(env, kind)))
    if rng.random() < 0.1:
        steps.append(("dtype", rng.choice(OTHER_DTYPES)))
    for like in ("np", "dtype", "__builtins__"):
        if rng.random() < 0.15:
            table = NEUTRAL if like == "__builtins__" else TARGETED
            # Frame creation passes on an error of the __builtins__ lookup.
            equal = rng.choice(["text", False] + (["recurse"] if like == "__builtins__" else ["raise"]))
            steps.append(("collide", Key(like + "?", like, Trigger(rng, env, table), equal)))
    return steps


def apply_setup(steps):
    d = ob.__dict__
    for what, value in steps:
        if what == "collide":  # takes the place of the name it collides with: probed first
            old = d.pop(value.like)
            d[value] = None
            d[value.like] = old
        else:
            d[what] = value


def realise(seed):
    rng = random.Random(seed)
    env = Env()
    kind = rng.choice(["Body", "BodyArray"])
    argument = body_case(rng, env) if kind == "Body" else body_array_case(rng, env)
    setup = module_setup(rng, env) if kind == "BodyArray" or rng.random() < 0.2 else []
    hook = Hook(rng, env) if rng.random() < 0.4 else None
    dying = [Dying(Trigger(rng, env, NEUTRAL)) for _ in range(rng.choice([0, 0, 1, 3]))]
    threshold = rng.choice([1, 3, 50]) if dying else None
    return kind, argument, env, setup, hook, threshold


# ---------------------------------------------------------------------------------------
# Running

def module_global(name):
    value = lookup(ob.__dict__, name)
    if value is not MISSING:
        return value
    try:
        return getattr(builtins, name)
    except AttributeError:
        raise NameError("name '%s' is not defined" % name) from None


def model_body_array(bodies):
    bodies = list(bodies)
    empty = getattr(module_global("np"), "empty")
    n = len(bodies)
    array = empty(n, dtype=module_global("dtype"))
    position, counter = 0, 0
    while position < len(bodies):
        b = bodies[position]
        position, i, counter = position + 1, counter, counter + 1
        for field in FIELDS:
            value = b[field]
            row = array[i]
            if field == "probe":
                check_probe(value)
            row[field] = value
    return array


def snapshot(result):
    if isinstance(result, np.ndarray):
        return "array", type(result).__name__, str(result.dtype), result.view(np.ndarray).tobytes()
    return "value", repr(result)


def first_module_entry(error):
    tb = error.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == MODULE:
            return tb.tb_frame.f_code.co_name
        tb = tb.tb_next
    return None


def scrub_freed_arrays():
    """Zeroed freed buffers: an element neither run writes then reads the same in both."""
    for n in range(1, 6):
        for arr in [np.empty(n * 57, np.uint8) for _ in range(8)]:
            arr[:] = 0


def run(seed, mode):
    """The outcome of one realisation of the case, called through the module (mode
    "module") or the model (mode "model", or "snapshot": binding a copy of the keywords)."""
    use_module = mode == "module"
    kind, argument, env, setup, hook, threshold = realise(seed)
    description = "%s(%r, %r) setup=%r hook=%r threshold=%r" % (
        kind, argument, env.kwargs, setup, hook, threshold)
    keyed = any(type(key) is Key for key in env.kwargs)
    if use_module:  # survives a crash
        os.write(2, ("case %s: %s\n" % (seed, description)).encode("utf-8", "replace"))
    saved_threshold = gc.get_threshold()
    apply_setup(setup)
    if threshold:
        gc.set_threshold(threshold)
    scrub_freed_arrays()
    if mode == "snapshot":  # copied as PyDict_Copy copies, without comparing keys
        kwargs = env.kwargs.copy()
    ARMED[0] = True
    try:
        if hook and use_module:
            sys.setprofile(hook)
        if kind == "Body":
            f = (lambda: call(ob.Body, argument, env.kwargs)) if use_module else \
                (lambda: model_body(argument, kwargs if mode == "snapshot" else env.kwargs))
        else:
            f = (lambda: ob.BodyArray(argument)) if use_module else \
                (lambda: model_body_array(argument))
        try:
            result = snapshot(f())
        except Exception as e:  # noqa: BLE001 - compared by type
            result = "error", type(e).__name__
            entry = first_module_entry(e) if use_module else None
            if entry is not None and not entry.startswith("orbitra.body.%s (" % kind):
                result += ("entry named %s" % entry,)
        finally:
            sys.setprofile(None)
    finally:
        ARMED[0] = False
        gc.set_threshold(*saved_threshold)
        del argument, env, setup, hook, f
        gc.collect(0)  # disarmed, the finalisers left do nothing
        KEPT.clear()
    return result, description, keyed


def restore(saved_module, saved_builtins):
    d = ob.__dict__
    d.clear()
    d.update(saved_module)
    for name in ("np", "dtype"):
        if name in saved_builtins:
            setattr(builtins, name, saved_builtins[name])
        elif hasattr(builtins, name):
            delattr(builtins, name)


def main(seed, first, count):
    saved_module = dict(ob.__dict__)
    saved_builtins = {k: getattr(builtins, k) for k in ("np", "dtype") if hasattr(builtins, k)}
    mismatches = []
    for case in range(first, first + count):
        case_seed = "%d:%d" % (seed, case)
        got, description, keys_act = run(case_seed, "module")
        restore(saved_module, saved_builtins)
        expected = []
        for mode in ("model", "snapshot")[:1 + keys_act]:
            expected.append(run(case_seed, mode)[0])
            restore(saved_module, saved_builtins)
        # The model makes no frames, so cannot see a recursing key's RecursionError.
        recursed = got == ("error", "RecursionError") and ", recurse)" in description
        if got not in expected and not recursed and len(mismatches) < 20:
            mismatches.append({"case": case_seed, "got": repr(got)[:300],
                               "expected": repr(expected)[:300], "description": description[:600]})
    print(json.dumps({"cases": count, "mismatches": mismatches}))


if __name__ == "__main__":
    main(*map(int, sys.argv[1:4]))
