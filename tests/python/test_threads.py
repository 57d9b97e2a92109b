"""Calls from several threads. A call holds the interpreter lock throughout,
so calls overlap only while Python code runs inside one: a logging handler
for the module's records. Here that handler gives the lock away (it sleeps or
waits), so other threads' calls really run in the middle of a call: on the
same object they must fail with RuntimeError "Already borrowed" and send
nothing; on other objects they must work. Every scenario runs in a fresh
interpreter (the bridge fixes logger levels per process), so a crash shows
as a dead child process, and the compositor's records show what each call
put on the wire."""

import json
from collections import Counter

from interpreter import run_python
from wire_support import name_of, output, scenario

WIDTH, HEIGHT = 64, 48
THREADS = 8
BUTTON_LEFT, BUTTON_RIGHT = 272, 273

# Input actions are answered by no event of their own; renaming the output
# (to its own name) on each of their requests gives every one of them records,
# and so a handler that runs inside them.
RENAME = [{"do": "output_name", "output": 0, "name": "HEADLESS-1"}]
INPUT_REQUESTS = (
    "zwlr_virtual_pointer_v1.motion_absolute",
    "zwlr_virtual_pointer_v1.button",
    "zwp_virtual_keyboard_v1.key",
)


def busy_scenario(requests_per_kind: int) -> dict:
    triggers = [
        {"on": request, "nth": nth, "actions": RENAME}
        for request in INPUT_REQUESTS
        for nth in range(1, requests_per_kind + 1)
    ]
    return scenario(outputs=[output("HEADLESS-1", WIDTH, HEIGHT)], triggers=triggers)


def run_json(code: str, *args: str) -> dict:
    result = run_python(code, *args, timeout=120)
    assert result.returncode == 0, f"status {result.returncode}\n{result.stderr}"
    # A handler that raised, or a thread that died, prints a traceback.
    assert "Traceback" not in result.stderr, result.stderr
    return json.loads(result.stdout)


# The common part of every child: a handler that gives the interpreter lock
# away at each record, and the calls with their expected results.
PRELUDE = """
import json, logging, sys, threading, time
import numpy
import kestrin

sys.setswitchinterval(0.0001)
WIDTH, HEIGHT = int(sys.argv[2]), int(sys.argv[3])

def expected_picture():
    x = numpy.arange(WIDTH)[numpy.newaxis, :]
    y = numpy.arange(HEIGHT)[:, numpy.newaxis]
    picture = numpy.empty((HEIGHT, WIDTH, 4), numpy.uint8)
    picture[..., 0], picture[..., 1] = x % 256, y % 256
    picture[..., 2], picture[..., 3] = (1 + x // 256 + 16 * (y // 256)) % 256, (7 * x + 13 * y) % 256
    return picture

PICTURE = expected_picture()
state = threading.Lock()
sleeping = 0
most_sleeping = 0

class GiveWay(logging.Handler):
    # Handler.handle runs emit under the handler's lock, which would let only
    # one call at a time be in here; without it they sleep side by side.
    def handle(self, record):
        self.emit(record)
        return True

    def emit(self, record):
        global sleeping, most_sleeping
        with state:
            sleeping += 1
            most_sleeping = max(most_sleeping, sleeping)
        time.sleep(0.0002)
        with state:
            sleeping -= 1

logger = logging.getLogger("kestrin")
logger.setLevel(logging.INFO)
logger.addHandler(GiveWay())

def calls(k):
    def screenshot():
        picture = k.screenshot()
        assert picture.shape == (HEIGHT, WIDTH, 4) and (picture == PICTURE).all(), "wrong picture"
    def move_mouse():
        assert k.move_mouse(1000, 1000, 10, 20, 30, 40) is None
    def left_click():
        assert k.left_click(0, 1) is None
    def right_click():
        assert k.right_click(1, 0) is None
    def key_press():
        assert k.key_press(30, 0, 1) is None
    return {f.__name__: f for f in (screenshot, move_mouse, left_click, right_click, key_press)}
"""


ONE_OBJECT = PRELUDE + """
k = kestrin.Kestrin(sys.argv[1])
methods = calls(k)
order = list(methods)
# One tally per thread: a shared "+= 1" could lose counts at a thread switch.
tallies, other = [], []
THREADS, SUCCESSES = int(sys.argv[4]), int(sys.argv[5])
start = threading.Barrier(THREADS)

def worker(index):
    succeeded, refused = {}, {}
    tallies.append((succeeded, refused))
    start.wait()
    done = attempts = 0
    while done < SUCCESSES and attempts < 200000:
        name = order[(index + done) % len(order)]
        attempts += 1
        try:
            methods[name]()
        except RuntimeError as error:
            if str(error) != "Already borrowed":
                other.append(f"{name}: {error!r}")
                return
            refused[name] = refused.get(name, 0) + 1
            # Let the holder go on instead of spinning on the refusal.
            time.sleep(0.00005)
            continue
        except BaseException as error:
            other.append(f"{name}: {error!r}")
            return
        succeeded[name] = succeeded.get(name, 0) + 1
        done += 1

threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
# Nothing was left taken: the object works afterwards.
methods["left_click"]()
methods["screenshot"]()
print(json.dumps({"succeeded": [t[0] for t in tallies], "refused": [t[1] for t in tallies], "other": other}))
"""

SUCCESSES_PER_THREAD = 40


def test_eight_threads_share_one_object(fake):
    calls_per_kind = THREADS * SUCCESSES_PER_THREAD
    compositor = fake(busy_scenario(2 * calls_per_kind))
    report = run_json(ONE_OBJECT, compositor.socket_path, *map(str, (WIDTH, HEIGHT, THREADS, SUCCESSES_PER_THREAD)))

    # However the threads were scheduled (how often calls overlapped is the
    # scheduler's choice): every call completed or was refused, nothing else.
    assert report["other"] == [], "a call failed otherwise than with 'Already borrowed'"
    succeeded, refused = Counter(), Counter()
    for tally in report["succeeded"]:
        succeeded.update(tally)
    for tally in report["refused"]:
        refused.update(tally)
    assert sum(succeeded.values()) == THREADS * SUCCESSES_PER_THREAD

    # A refused call sent nothing: the wire holds exactly the accepted calls
    # (and the two made after the threads ended).
    requests = compositor.requests()
    names = Counter(name_of(r) for r in requests)
    buttons = Counter(r["args"][1] for r in requests if name_of(r) == "zwlr_virtual_pointer_v1.button")
    assert names["zwlr_virtual_pointer_v1.motion_absolute"] == succeeded["move_mouse"]
    assert buttons[BUTTON_LEFT] == 2 * (succeeded["left_click"] + 1)
    assert buttons[BUTTON_RIGHT] == 2 * succeeded["right_click"]
    assert names["zwp_virtual_keyboard_v1.key"] == 2 * succeeded["key_press"]
    assert names["zwlr_screencopy_manager_v1.capture_output"] == succeeded["screenshot"] + 1
    # Ranges drew their values within bounds on every thread.
    for record in requests:
        if name_of(record) == "zwlr_virtual_pointer_v1.motion_absolute":
            _, x, y, x_extent, y_extent = record["args"]
            assert 10 <= x <= 30 and 20 <= y <= 40 and (x_extent, y_extent) == (1000, 1000)
    # Every press was followed by its release before the next press.
    for request_name in ("zwlr_virtual_pointer_v1.button", "zwp_virtual_keyboard_v1.key"):
        states = [r["args"][2] for r in requests if name_of(r) == request_name]
        assert states == [1, 0] * (len(states) // 2)


MANY_OBJECTS = PRELUDE + """
count, ROUNDS = int(sys.argv[4]), int(sys.argv[5])
objects, errors = [None] * count, []
start = threading.Barrier(count)

def use(k, rounds):
    methods = calls(k)
    for _ in range(rounds):
        for call in methods.values():
            call()

def worker(index):
    try:
        start.wait()
        # Constructions overlap too: each one's records give the lock away.
        objects[index] = kestrin.Kestrin(sys.argv[1])
        use(objects[index], ROUNDS)
    except BaseException as error:
        errors.append(f"{index}: {error!r}")

def run(target, arguments):
    threads = [threading.Thread(target=target, args=a) for a in arguments]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

run(worker, [(i,) for i in range(count)])

# An object is not tied to the thread that made it: swap them around.
def swapped(index):
    try:
        use(objects[(index + 1) % count], 1)
    except BaseException as error:
        errors.append(f"swapped {index}: {error!r}")
run(swapped, [(i,) for i in range(count)])

# Threads that live for one ranged call each.
def short_lived(index):
    try:
        objects[index % count].move_mouse(1000, 1000, 100, 200, 300, 400)
    except BaseException as error:
        errors.append(f"short-lived {index}: {error!r}")
# One thread per object at a time: two on one object would be refused.
for _ in range(8):
    run(short_lived, [(i,) for i in range(count)])

print(json.dumps({"errors": errors}))
"""

ROUNDS = 20


def test_eight_objects_on_eight_threads(fake):
    compositor = fake(busy_scenario(4 * (ROUNDS + 1) + 8))
    report = run_json(MANY_OBJECTS, compositor.socket_path, *map(str, (WIDTH, HEIGHT, THREADS, ROUNDS)))

    assert report["errors"] == []

    # Each connection carried exactly its own calls, none lost or doubled.
    per_client: dict[int, Counter] = {}
    for record in compositor.requests():
        per_client.setdefault(record["client"], Counter())[name_of(record)] += 1
    assert len(per_client) == THREADS
    rounds = ROUNDS + 1
    for counts in per_client.values():
        assert counts["zwlr_virtual_pointer_v1.motion_absolute"] == rounds + 8
        assert counts["zwlr_virtual_pointer_v1.button"] == 4 * rounds
        assert counts["zwp_virtual_keyboard_v1.key"] == 2 * rounds
        assert counts["zwlr_screencopy_manager_v1.capture_output"] == rounds
    for record in compositor.requests():
        if name_of(record) == "zwlr_virtual_pointer_v1.motion_absolute" and record["args"][1] >= 100:
            assert 100 <= record["args"][1] <= 300 and 200 <= record["args"][2] <= 400


HANDLER_RUNS_ANOTHER_THREAD = """
import json, logging, queue, sys, threading
import kestrin

jobs, results = queue.Queue(), queue.Queue()
main = threading.main_thread()
handled = {"main": 0, "worker": 0}
outcomes = []

def outcome(call):
    try:
        result = call()
    except BaseException as error:
        return f"{type(error).__name__}: {error}"
    return "array %s" % (list(result.shape),) if hasattr(result, "shape") else repr(result)

def worker():
    while True:
        job = jobs.get()
        if job is None:
            return
        results.put([outcome(call) for call in job])

class Delegate(logging.Handler):
    busy = False

    # Handler.handle holds the handler's lock around emit: the worker's own
    # records would wait for it while emit waits for the worker.
    def handle(self, record):
        self.emit(record)
        return True

    def emit(self, record):
        if threading.current_thread() is not main:
            # Records of the worker's own calls: those run on the worker.
            handled["worker"] += 1
            return
        handled["main"] += 1
        if target is None or self.busy:
            return
        self.busy = True
        try:
            fresh = []
            jobs.put([
                lambda: target.left_click(0),
                lambda: target.screenshot(),
                lambda: target.key_press("not a number", 0),
                lambda: other.screenshot(),
                lambda: other.left_click(0, 1),
                lambda: fresh.append(kestrin.Kestrin(sys.argv[1])) or fresh[0].screenshot(),
                lambda: fresh.pop() and None,
                # A Capture borrows its session for every call.
                lambda: capture.grab(),
                lambda: capture.wait_for_change(timeout_ms=0),
                lambda: other_capture.grab(),
            ])
            # Waiting gives the interpreter lock to the worker.
            try:
                outcomes.append(results.get(timeout=30))
            except queue.Empty:
                outcomes.append("the worker did not answer")
        finally:
            self.busy = False

target = other = None
logger = logging.getLogger("kestrin")
logger.setLevel(logging.INFO)
logger.addHandler(Delegate())
thread = threading.Thread(target=worker)
thread.start()
k = kestrin.Kestrin(sys.argv[1])
other = kestrin.Kestrin(sys.argv[1])
capture, other_capture = k.capture(), other.capture()
target = k
shape = list(k.screenshot().shape)
target = None
after = outcome(lambda: k.left_click(0))
jobs.put(None)
thread.join()
print(json.dumps({"outcomes": outcomes, "shape": shape, "after": after, "handled": handled}))
"""


def test_handler_runs_another_threads_calls(fake):
    compositor = fake(scenario(outputs=[output("HEADLESS-1", WIDTH, HEIGHT)]))
    report = run_json(HANDLER_RUNS_ANOTHER_THREAD, compositor.socket_path)

    outcomes = report["outcomes"]
    assert outcomes, "no record reached the handler during the capture"
    picture = f"array {[HEIGHT, WIDTH, 4]}"
    for round_ in outcomes:
        assert round_ == [
            # The object in use refuses before it converts anything ...
            "RuntimeError: Already borrowed",
            "RuntimeError: Already borrowed",
            "RuntimeError: Already borrowed",
            # ... while the others, and a new one, work from that thread.
            picture,
            "None",
            picture,
            "None",
            "RuntimeError: Already borrowed",
            "RuntimeError: Already borrowed",
            picture,
        ]
    # The worker's own calls ran the handler on the worker.
    assert report["handled"]["worker"] > 0
    assert report["shape"] == [HEIGHT, WIDTH, 4]
    assert report["after"] == "None"


# A Capture's call holds its session too. Capture calls write no records, so
# the handler that runs inside one is a signal's: the wait sleeps in poll on a
# compositor that has stopped answering, the alarm wakes it, and the handler
# hands the session's calls to another thread.
CAPTURE_HOLDS_THE_SESSION = """
import json, queue, signal, sys, threading
import kestrin

jobs, results, outcomes = queue.Queue(), queue.Queue(), []

def outcome(call):
    try:
        result = call()
    except BaseException as error:
        return f"{type(error).__name__}: {error}"
    return repr(result)

def worker():
    while (job := jobs.get()) is not None:
        results.put([outcome(call) for call in job])

def on_alarm(signum, frame):
    jobs.put([lambda: k.left_click(0), lambda: k.screenshot(), lambda: k.capture(), lambda: capture.grab()])
    try:
        outcomes.append(results.get(timeout=30))
    except queue.Empty:
        outcomes.append("the worker did not answer")

thread = threading.Thread(target=worker)
thread.start()
k = kestrin.Kestrin(sys.argv[1])
capture = k.capture()
signal.signal(signal.SIGALRM, on_alarm)
signal.setitimer(signal.ITIMER_REAL, 0.1)
waited = outcome(lambda: capture.wait_for_change(timeout_ms=600))
jobs.put(None)
thread.join()
print(json.dumps({"outcomes": outcomes, "waited": waited}))
"""


def test_capture_call_holds_its_session(fake):
    stall = {"on": "zwlr_screencopy_frame_v1.copy_with_damage", "actions": [{"do": "stall"}]}
    compositor = fake(scenario(outputs=[output("HEADLESS-1", WIDTH, HEIGHT)], triggers=[stall]))
    report = run_json(CAPTURE_HOLDS_THE_SESSION, compositor.socket_path)

    assert report["outcomes"] == [["RuntimeError: Already borrowed"] * 4]
    # The wait went on after the handler and ended at its timeout.
    assert report["waited"] == "None"


# The calls added beyond the first five let other threads run while they
# wait: a worker stuck on a compositor that has stopped answering leaves the
# main thread running, its Ctrl-C working and its event loop turning, while
# the object stays borrowed by the worker.
WAIT_LETS_OTHERS_RUN = """
import asyncio, json, signal, sys, threading, time
import kestrin

k = kestrin.Kestrin(sys.argv[1])
capture = k.capture()
waiting, outcome = threading.Event(), {}

def worker():
    waiting.set()
    try:
        outcome["waited"] = repr(capture.wait_for_change(timeout_ms=int(sys.argv[2])))
    except BaseException as error:
        outcome["waited"] = repr(error)

thread = threading.Thread(target=worker)
thread.start()
waiting.wait()
# Ctrl-C in the main thread, while the worker waits.
signal.setitimer(signal.ITIMER_REAL, 0.2)
signal.signal(signal.SIGALRM, signal.default_int_handler)
try:
    time.sleep(60)
    interrupted = "slept"
except KeyboardInterrupt:
    interrupted = "KeyboardInterrupt"
still_waiting = thread.is_alive() and "waited" not in outcome
try:
    k.outputs()
    borrowed = "not borrowed"
except RuntimeError as error:
    borrowed = str(error)
thread.join()

async def loop_turns():
    turns = 0
    async def tick():
        nonlocal turns
        while True:
            await asyncio.sleep(0.005)
            turns += 1
    ticker = asyncio.create_task(tick())
    result = await asyncio.to_thread(other_capture.wait_for_change, int(sys.argv[4]))
    ticker.cancel()
    return turns, repr(result)

# A compositor of its own: a capture's first wait on one that has stopped
# answering runs to its timeout.
other_capture = kestrin.Kestrin(sys.argv[3]).capture()
turns, result = asyncio.run(loop_turns())
print(json.dumps({"interrupted": interrupted, "still_waiting": still_waiting, "borrowed": borrowed,
                  "waited": outcome["waited"], "turns": turns, "result": result}))
"""


def test_a_wait_lets_other_threads_run(fake):
    stall = {"on": "zwlr_screencopy_frame_v1.copy_with_damage", "actions": [{"do": "stall"}]}
    compositors = [fake(scenario(outputs=[output("HEADLESS-1", WIDTH, HEIGHT)], triggers=[stall])) for _ in range(2)]
    report = run_json(WAIT_LETS_OTHERS_RUN, compositors[0].socket_path, "3000", compositors[1].socket_path, "1000")

    # The alarm was handled while the worker was still in its wait ...
    assert report["interrupted"] == "KeyboardInterrupt"
    assert report["still_waiting"] is True
    # ... which kept the object to itself meanwhile.
    assert report["borrowed"] == "Already borrowed"
    assert report["waited"] == "None"
    # The event loop kept turning while a thread of its own waited.
    assert report["turns"] >= 5
    assert report["result"] == "None"
