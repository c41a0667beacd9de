"""The front end caps the download's speed (the "l <bytes per second>" command, or the
property norvo.download.rate_cap before the second stage) and changes the cap while it
runs. The promise is the rate over any two seconds, measured here as the package file's
growth at the client (the server's count includes the socket buffers).

The tests of the rate itself are time promises of the product: they run in the serial
pass. The others assert nothing a slow machine could break: a machine slower than the cap
only lowers the rate, so upper bounds and replies hold however busy it is."""
import re
import time

import pytest
import test_mirrors
from norvo_driver import NO_KEY_STORE, TEST_PHONE_PROPS, UPDATER_PROPS
from test_download import PKG, Download, make_package, package, serve

CAP_PROPERTY = "norvo.download.rate_cap"
TOLERANCE = 0.15


@pytest.fixture
def updater(make_device, build_dir):
    return make_device(props=UPDATER_PROPS, options=NO_KEY_STORE)


class Growth:
    """The package file's size at the client, sampled while the stage's status is read."""

    def __init__(self, dev, run):
        self.path = dev.path("/tmp/secure_update.zip")
        self.run = run
        self.samples = []

    def size(self):
        try:
            return self.path.stat().st_size
        except FileNotFoundError:
            return 0

    def follow(self, until, timeout=60):
        """Samples every 50 ms until `until(text)` holds or the stage ends."""
        deadline = time.monotonic() + timeout
        while not until(self.run.text) and not self.run.eof:
            assert time.monotonic() < deadline, self.run.text[-500:]
            self.run.pump(0.05)
            self.samples.append((time.monotonic(), self.size()))

    def rates(self, start, end, window=2.0):
        """Bytes per second over each `window` seconds from `start` to `end`, stepped by a
        quarter of it."""
        out = []
        t = start
        while t + window <= end:
            a = self._at(t)
            b = self._at(t + window)
            out.append((b[1] - a[1]) / (b[0] - a[0]))
            t += window / 4
        return out

    def _at(self, t):
        return min(self.samples, key=lambda s: abs(s[0] - t))


def cap_replies(text):
    return [int(v) for v in re.findall(r"^3:r:l:(\d+)$", text, re.M)]


@pytest.mark.serial
def test_cap_from_the_first_byte_holds_over_every_two_seconds(make_device, build_dir):
    cap = 200 << 10
    dev = make_device(props=dict(UPDATER_PROPS, **{CAP_PROPERTY: str(cap)}), options=NO_KEY_STORE)
    data = make_package(8 * cap)
    serve(dev, data)
    run = Download(dev)
    growth = Growth(dev, run)
    growth.follow(lambda text: False)
    text = run.finish(timeout=30)
    assert text.endswith("3:c:\n") and package(dev) == data
    first = next(t for t, size in growth.samples if size > 0)
    last = next(t for t, size in growth.samples if size == len(data))
    # After two seconds for the socket buffers to settle.
    rates = growth.rates(first + 2, last)
    assert rates and all(abs(r - cap) <= TOLERANCE * cap for r in rates), rates
    events = dev.path("/tmp/zel/events")
    assert (events / "download_figures_cap").read_text() == str(cap)
    assert (events / "download_figures_cap_changed").read_text() == "0"


@pytest.mark.serial
def test_cap_lowered_then_lifted_is_followed_within_a_second(make_device, build_dir):
    high, low = 400 << 10, 100 << 10
    updater = make_device(props=dict(UPDATER_PROPS, **{CAP_PROPERTY: str(high)}),
                          options=NO_KEY_STORE)
    data = make_package(6 << 20)
    serve(updater, data)
    run = Download(updater)
    growth = Growth(updater, run)
    growth.follow(lambda text: "3:p:" in text)
    t_high = time.monotonic()
    growth.follow(lambda text: time.monotonic() > t_high + 4)
    run.send(f"l {low}\n")
    growth.follow(lambda text: cap_replies(text) == [low])
    t_low = time.monotonic()
    growth.follow(lambda text: time.monotonic() > t_low + 4)
    # What was here when the lift was sent: its reply may come after the rest.
    lifted_size = growth.size()
    t_lift = time.monotonic()
    run.send("l 0\n")
    growth.follow(lambda text: False)
    text = run.finish(timeout=60)
    assert text.endswith("3:c:\n") and package(updater) == data
    assert cap_replies(text) == [low, 0], text
    # Within a second of each change the rate is the new cap's.
    assert all(abs(r - high) <= TOLERANCE * high for r in growth.rates(t_high + 2, t_low)), \
        growth.rates(t_high + 2, t_low)
    assert all(abs(r - low) <= TOLERANCE * low for r in growth.rates(t_low + 1, t_low + 4)), \
        growth.rates(t_low + 1, t_low + 4)
    # Lifted, the rest (more than 3 MiB, half a minute at 100 KiB/s) comes within three
    # seconds: the cap is gone within the first of them.
    rest = len(data) - lifted_size
    assert rest > 3 << 20, rest
    done_at = next(t for t, size in growth.samples if size == len(data))
    assert done_at - t_lift < 3.0, done_at - t_lift
    events = updater.path("/tmp/zel/events")
    assert (events / "download_figures_cap").read_text() == "0"
    assert (events / "download_figures_cap_changed").read_text() == "1"


@pytest.mark.serial
def test_cap_holds_across_pause_continue_and_a_mirror_change(make_device, build_dir):
    cap = 200 << 10
    dev = make_device(props=dict(TEST_PHONE_PROPS, **{CAP_PROPERTY: str(cap)}),
                      options=NO_KEY_STORE)
    data = test_mirrors.make_package(10 * cap)
    cut = 2 * cap
    # Mirror 0 cuts the body once, then refuses: three refusals move the download on.
    test_mirrors.offer(dev, data)
    test_mirrors.record_for(dev)
    test_mirrors.offer(dev, data, mirror_faults=[{"drop_after": [cut], "refuse_after": 1}, {}])
    run = test_mirrors.second_stage(dev)
    growth = Growth(dev, run)
    growth.follow(lambda text: "3:p:" in text)
    run.send("p\n")
    growth.follow(lambda text: "3:r:p\n" in text)
    run.send("c\n")
    growth.follow(lambda text: "3:m:1\n" in text)
    moved = time.monotonic()
    growth.follow(lambda text: False)
    text = run.finish(timeout=60)
    assert text.endswith("3:c:\n") and package(dev) == data, text
    assert "3:r:c\n" in text
    done = next(t for t, size in growth.samples if size == len(data))
    rates = growth.rates(moved + 2, done)
    assert rates and all(abs(r - cap) <= TOLERANCE * cap for r in rates), rates


def test_a_cap_of_one_kib_is_a_slow_download_not_a_stalled_one(make_device, build_dir):
    # The low-speed abort set to 2 s: four times that under the cap, and no abort.
    dev = make_device(props=dict(UPDATER_PROPS, **{CAP_PROPERTY: "1024"}), options=NO_KEY_STORE)
    serve(dev, make_package(1 << 20))
    run = Download(dev, env=("NORVO_LOW_SPEED_TIME=2",))
    growth = Growth(dev, run)
    growth.follow(lambda text: growth.size() > 0)
    started = time.monotonic()
    growth.follow(lambda text: time.monotonic() > started + 8)
    got = growth.size()
    run.send("s\n")
    text = run.finish(timeout=20)
    assert "3:f:" not in text and text.endswith("3:r:s"), text
    # Slow, never stalled for good, never above the cap (one piece ahead at most).
    elapsed = time.monotonic() - started
    assert 0 < got <= 1024 * (elapsed + 1) + 1024, (got, elapsed)
    assert package(dev)[:got] == make_package(1 << 20)[:got]


def test_a_line_that_is_no_cap_changes_nothing_and_the_reply_says_so(make_device, build_dir):
    cap = 300 << 10
    updater = make_device(props=dict(UPDATER_PROPS, **{CAP_PROPERTY: str(cap)}),
                          options=NO_KEY_STORE)
    data = make_package(3 * cap)
    serve(updater, data)
    run = Download(updater)
    run.wait_for(r"3:p:\d+\n")
    started = time.monotonic()
    bad = ["l", "l abc", "l -5", "l 5x", "l 99999999999999999999999", "l 123456789012345678901",
           "l  42", "limit"]
    run.send("".join(line + "\n" for line in bad))
    text = run.finish(timeout=60)
    took = time.monotonic() - started
    assert text.endswith("3:c:\n") and package(updater) == data
    assert cap_replies(text) == [cap] * len(bad), text
    assert "3:f:" not in text and "3:r:s" not in text and "3:r:p" not in text
    warnings = re.findall(r"^W:RomDownload INVALID SPEED CAP: (.*) \(the cap stays (\d+)", run.log,
                          re.M)
    assert [w[1] for w in warnings] == [str(cap)] * len(bad), run.log[-3000:]
    # Still capped after them: the rest of the package came no faster than the cap
    # (the first progress line came within the first second's worth).
    assert took >= (len(data) - 2 * cap) / cap, took
    events = updater.path("/tmp/zel/events")
    assert (events / "download_figures_cap").read_text() == str(cap)


def test_a_property_that_is_no_cap_is_said_and_ignored(make_device, build_dir):
    dev = make_device(props=dict(UPDATER_PROPS, **{CAP_PROPERTY: "fast"}), options=NO_KEY_STORE)
    data = make_package(200_000)
    serve(dev, data)
    run = Download(dev)
    assert run.finish(timeout=30).endswith("3:c:\n") and package(dev) == data
    assert 'W:>> RomDownload: norvo.download.rate_cap "fast" is no speed cap' in run.log
    assert (dev.path("/tmp/zel/events") / "download_figures_cap").read_text() == "0"


def test_a_cap_sent_while_waiting_to_retry_is_answered_at_once(updater):
    data = make_package(100_000)
    # The server asks for 30 s: the reply must not wait for the next attempt.
    serve(updater, data, {PKG: {"status": [503], "headers": [["Retry-After", "30"]]}})
    run = Download(updater)
    run.wait_for(r"3:f:22\n")
    run.send("l 4096\n")
    run.wait_for(r"3:r:l:4096\n", timeout=10)
    run.send("s\n")
    assert run.finish(timeout=20).endswith("3:f:22\n3:r:l:4096\n3:r:s")
