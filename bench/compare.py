#!/usr/bin/python3
"""Runs media_demo and the tools a user would pick instead side by side on the same
sources, and measures each doing the same job: the first 52 pictures written as JPEG
files. bench/run.sh builds what this needs and calls it; see docs/performance.md.

Per tool, source and run: CPU seconds of the whole process tree (wait4 rusage),
images written, peak resident memory, time from spawn to the first and to the 52nd
complete file (bench/file_watcher), and on the numbered live source, in H.264, HEVC and
Motion JPEG, the age of every picture (file appeared minus frame sent); for media_demo
also the program's own account of its CPU time (MEDIA_DEMO_CPU_ACCOUNT). Tools are
interleaved, the order rotating each round, so a busy moment of the machine hits them
alike. On the RTSP server, media_demo's first image step by step
(bench/first_image_breakdown, alternating with media_demo itself) on a fresh session,
joined mid-GOP and from a 5 fps camera. Results go to <out>/results.json; report.py turns
them into the tables and the plot.
"""
import argparse
import json
import os
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

PICTURES = 52
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TOOLS = ["media_demo", "ffmpeg", "opencv", "gstreamer"]
CODECS = ["h264", "hevc", "mjpeg"]
SIZES = {"360": (640, 360), "720": (1280, 720), "1080": (1920, 1080), "2160": (3840, 2160)}


def log(message):
    print(f"[compare {time.strftime('%H:%M:%S')}] {message}", flush=True)


class Server:
    """A test server child that prints "READY <port>" once listening."""

    def __init__(self, argv):
        self.process = subprocess.Popen(["timeout", "-k", "5", "3600", *argv], stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline()
        match = re.match(r"READY (\d+)", line)
        if not match:
            self.stop()
            raise RuntimeError(f"{argv[1]} did not start: {line!r}")
        self.port = int(match.group(1))

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


VARIANTS = {}  # name -> build directory of another media_demo (--variant), for before/after


def tool_command(tool, url, build, ffmpeg_q):
    """argv, extra environment, and how the tool ends: None when it stops by itself after
    the 52nd picture, else the log text (may be empty) after which, once the 52nd file
    is there, a SIGINT stops it."""
    rtsp = url.startswith("rtsp://")
    if tool in VARIANTS:
        build, tool = VARIANTS[tool], "media_demo"
    if tool == "media_demo":
        # The program pauses five seconds after its 52nd image; a SIGINT during the pause
        # ends it at once (the pause costs no CPU, and end of work is the 52nd file).
        return [os.path.join(build, "demo", "media_demo"), url], {}, "[Decoder] finished"
    if tool == "ffmpeg":
        argv = ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error"]
        if rtsp:
            argv += ["-rtsp_transport", "tcp"]
        argv += ["-i", url, "-frames:v", str(PICTURES), "-q:v", str(ffmpeg_q)]
        if ffmpeg_q < 2:
            argv += ["-qmin", str(ffmpeg_q)]
        return argv + ["-start_number", "0", "%d.jpg"], {}, None
    if tool == "opencv":
        env = {"OPENCV_FFMPEG_CAPTURE_OPTIONS": "rtsp_transport;tcp"} if rtsp else {}
        return [os.path.join(build, "bench", "opencv_peer"), url], env, None
    if tool == "gstreamer":
        source = (f"rtspsrc location={url} protocols=tcp" if rtsp else f"filesrc location={url}")
        # gst-launch has no picture count; it is stopped after the 52nd file and its
        # CPU time is divided by the files it wrote.
        pipeline = f"{source} ! decodebin ! videoconvert ! jpegenc quality=95 ! multifilesink location=%d.jpg"
        return ["gst-launch-1.0", "-q", *pipeline.split()], {}, ""
    raise ValueError(tool)


class Watcher:
    def __init__(self, build, directory, limit_s):
        self.process = subprocess.Popen(["timeout", "-k", "5", str(limit_s + 60),
                                         os.path.join(build, "bench", "file_watcher"), directory, str(PICTURES)],
                                        stdout=subprocess.PIPE, text=True)
        if self.process.stdout.readline().strip() != "READY":
            raise RuntimeError("file_watcher did not start")
        self.events = {}
        self.complete = threading.Event()
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        for line in self.process.stdout:
            name, stamp = line.split()
            self.events[name] = int(stamp)
            if len(self.events) >= PICTURES:
                self.complete.set()
        self.complete.set()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait()
        self.thread.join(timeout=5)


def read_account(path):
    """media_demo's account of its CPU time, written as it ends; None where it wrote none."""
    try:
        with open(path) as account:
            data = json.load(account)
        data["process_cpu_s"] = float(data["process_cpu_s"])
        data["parts"] = {name: float(seconds) for name, seconds in data["parts"].items()}
        return data
    except FileNotFoundError:
        return None
    except (OSError, ValueError, KeyError, TypeError, AttributeError) as error:
        log(f"  unreadable CPU account {path}: {error}")
        return None
    finally:
        if os.path.exists(path):
            os.unlink(path)


def run_tool(tool, url, build, ffmpeg_q, limit_s, frame_reader=None):
    argv, extra_env, stop_text = tool_command(tool, url, build, ffmpeg_q)
    directory = tempfile.mkdtemp(prefix=f"bench-{tool}-")
    env = dict(os.environ, **extra_env)
    account_path = None
    if tool == "media_demo" or tool in VARIANTS:
        # Beside the watched directory, not in it.
        account_path = directory + ".cpu.json"
        env["MEDIA_DEMO_CPU_ACCOUNT"] = account_path
    watcher = Watcher(build, directory, limit_s)
    output = open(os.path.join(directory, ".log"), "w")
    spawned = time.time_ns()
    # The grace after a signal must outlast a tool's own shutdown: when it expires,
    # timeout kills its whole process group, itself included, and the usage is lost.
    process = subprocess.Popen(["timeout", "-k", "30", str(limit_s), *argv], cwd=directory, env=env,
                               stdout=output, stderr=subprocess.STDOUT)
    status, usage = None, None
    deadline = time.monotonic() + limit_s + 40
    while status is None and time.monotonic() < deadline:
        if watcher.complete.wait(0.01):
            time.sleep(0.01)  # the event stays set: keep this loop from spinning
            if stop_text is not None and stop_text in open(output.name, errors="replace").read():
                process.send_signal(signal.SIGINT)  # timeout passes it on to the tool
                stop_text = None
        pid, raw, rusage = os.wait4(process.pid, os.WNOHANG)
        if pid == process.pid:
            status, usage = os.waitstatus_to_exitcode(raw), rusage
    if status is None:
        process.kill()
        _, raw, usage = os.wait4(process.pid, 0)
        status = os.waitstatus_to_exitcode(raw)
    process.returncode = status  # reaped here; keeps Popen from waiting again
    time.sleep(0.2)  # the last inotify events of a tool that just exited
    watcher.stop()
    output.close()

    names = [n for n in os.listdir(directory) if re.fullmatch(r"\d+\.jpg", n)
             and os.path.getsize(os.path.join(directory, n)) > 0]
    appeared = sorted(watcher.events.values())
    result = {
        "tool": tool, "exit": status, "files": len(names),
        "cpu_s": usage.ru_utime + usage.ru_stime,
        "user_s": usage.ru_utime, "sys_s": usage.ru_stime,
        "maxrss_kb": usage.ru_maxrss,
        "first_ms": (appeared[0] - spawned) / 1e6 if appeared else None,
        "last_ms": (appeared[PICTURES - 1] - spawned) / 1e6 if len(appeared) >= PICTURES else None,
    }
    account = read_account(account_path) if account_path else None
    if account is not None:
        # What the program could not count: its exit after writing the account, and timeout.
        result["cpu_account"] = account
        result["after_account_s"] = result["cpu_s"] - account["process_cpu_s"]
    if frame_reader is not None:
        result["numbers"] = frame_reader(directory, watcher.events)
    if len(names) < PICTURES or status not in (0, 130, -signal.SIGINT):
        tail = open(os.path.join(directory, ".log"), errors="replace").read()[-400:]
        result["error"] = f"exit {status}, {len(names)} files: {tail}"
        log(f"  {tool} failed: {result['error']}")
    shutil.rmtree(directory, ignore_errors=True)
    return result


def read_numbers(build):
    """Frame number and appearance time of each of the first 52 files."""
    def reader(directory, events):
        names = sorted(events, key=events.get)[:PICTURES]
        if not names:
            return []
        out = subprocess.run(["timeout", "-k", "5", "120", os.path.join(build, "bench", "frame_code_reader"),
                              *[os.path.join(directory, n) for n in names]],
                             capture_output=True, text=True, check=True).stdout
        numbers = {os.path.basename(p): int(v) for p, v in (line.split() for line in out.splitlines())}
        return [[name, numbers.get(name, -1), events[name]] for name in names]
    return reader


def run_source(name, url, tools, rounds, args, frame_reader=None):
    log(f"source {name}: {url}")
    results = []
    for round_index in range(rounds):
        order = tools[round_index % len(tools):] + tools[:round_index % len(tools)]
        for tool in order:
            result = run_tool(tool, url, args.build, args.ffmpeg_q, args.limit, frame_reader)
            result.update(source=name, round=round_index)
            results.append(result)
            cpu = result["cpu_s"] / max(result["files"], 1) * 1000
            log(f"  round {round_index + 1}/{rounds} {tool:10s} cpu/img {cpu:6.2f} ms  files {result['files']}"
                f"  first {result['first_ms'] or 0:7.0f} ms  rss {result['maxrss_kb'] / 1024:6.0f} MiB")
    return results


# media_demo's first image, step by step (bench/first_image_breakdown), in three cases:
# (name, mount of tests/servers/rtsp_server.py, seconds between keyframes when another
# client already streams the mount, else None).
FIRST_IMAGE_CASES = (
    ("fresh session, 25 fps", "h264_1080", None),
    ("joined mid-GOP, 25 fps", "h264_25fps_gop4", 4),
    ("fresh session, 5 fps", "h264_5fps_gop2", None),
)
BREAKDOWN_EVENTS = {"main", "open", "tcp_connect", "tcp_connected", "request", "reply", "interleaved", "concealed",
                    "probed", "opened", "decoder_opened", "packet", "waiting", "decoded", "converted", "written",
                    "behind_ms"}
SETTLE_S = 1.0  # lets the server end the previous session, so a fresh one starts a new stream


def breakdown_phases(events, spawned):
    """The steps of one first_image_breakdown run, in ms, from its events and spawn time.
    The steps follow one another: their sum is the time from spawn to the written file."""
    ms = lambda a, b: (b - a) / 1e6  # noqa: E731
    at = {}
    for name, stamp, _ in events:
        at.setdefault(name, stamp)
    sent, replies = {}, []
    for name, stamp, fields in events:
        if name == "request" and fields:
            sent.setdefault(fields[0], stamp)
        elif name == "reply":
            replies.append(stamp)
    round_trips = {}
    for method, stamp in sent.items():
        reply = next((r for r in replies if r >= stamp), None)
        if reply is not None:
            round_trips[method] = (stamp, reply)
    reads = [stamp for name, stamp, fields in events if name == "interleaved" and int(fields[0]) % 2 == 0]

    # Each packet with the decoding that follows it.
    pairs, packet = [], None
    for name, stamp, fields in events:
        if name == "packet":
            packet = (stamp, fields)
        elif name == "decoded" and packet is not None:
            pairs.append((packet[0], packet[1], stamp, fields))
            packet = None
    key = next((i for i, p in enumerate(pairs) if p[1][0] == "1"), None)
    admitted = next((i for i, p in enumerate(pairs) if len(p[3]) == 6 and p[3][5] == "1"), None)
    if key is None or admitted is None or "written" not in at or "PLAY" not in round_trips:
        return None
    decoding = sum(ms(p[0], p[2]) for p in pairs[key:admitted + 1])
    # The keyframe was there once the packet read before the one that completed it had
    # arrived (FFmpeg's parser ends a picture when the next begins); a keyframe kept
    # from probing was complete when probing ended.
    from_probe = not any(at["opened"] <= r <= pairs[key][0] for r in reads)
    ready = at["probed"] if from_probe else pairs[key][0]
    before = [r for r in reads if r <= ready]
    arrival = before[-2] if len(before) >= 2 else (before[-1] if before else pairs[key][0])
    play_reply = round_trips["PLAY"][1]
    first_read = next((r for r in reads if r >= play_reply), None)
    behind = next((float(f[0]) for n, _, f in events if n == "behind_ms"), None)
    return {
        "startup": ms(spawned, at["main"]),
        "connect": ms(at["main"], round_trips["OPTIONS"][0] if "OPTIONS" in round_trips else play_reply),
        "requests": ms(round_trips["OPTIONS"][0] if "OPTIONS" in round_trips else play_reply, play_reply),
        "probe": ms(play_reply, at["opened"]),
        "wait_keyframe": ms(at["decoder_opened"], pairs[key][0]),
        "decode": ms(at["opened"], at["decoder_opened"]) + decoding,
        "wait_admitted": ms(pairs[key][0], pairs[admitted][2]) - decoding,
        "convert": ms(pairs[admitted][2], at["converted"]),
        "write": ms(at["converted"], at["written"]),
        "total": ms(spawned, at["written"]),
        "round_trips": {m: ms(a, b) for m, (a, b) in round_trips.items() if m != "TEARDOWN"},
        "play_to_first_packet": ms(play_reply, first_read) if first_read else None,
        "keyframe_to_image": ms(arrival, at["written"]),
        "behind_ms": behind,
        "waited": "waiting" in at,
        "refused_after_keyframe": sum(1 for p in pairs[key:admitted] if len(p[3]) == 6),
        "keyframe_bytes": int(pairs[key][1][1]),
        "concealed": sum(1 for n, _, _ in events if n == "concealed"),
    }


def run_breakdown(build, url, limit_s):
    directory = tempfile.mkdtemp(prefix="bench-breakdown-")
    spawned = time.time_ns()
    done = subprocess.run(["timeout", "-k", "5", str(limit_s), os.path.join(build, "bench", "first_image_breakdown"),
                           url], cwd=directory, capture_output=True, text=True, check=False)
    events = []
    for line in done.stdout.splitlines():
        parts = line.split()
        if len(parts) >= 2 and parts[0] in BREAKDOWN_EVENTS and parts[1].isdigit():
            events.append((parts[0], int(parts[1]), parts[2:]))
    result = {"tool": "first_image_breakdown", "exit": done.returncode}
    phases = breakdown_phases(events, spawned) if done.returncode == 0 else None
    if phases is None:
        result["error"] = f"exit {done.returncode}: {(done.stderr or done.stdout)[-400:]}"
        log(f"  first_image_breakdown failed: {result['error']}")
    else:
        result.update(phases)
    shutil.rmtree(directory, ignore_errors=True)
    return result


def run_first_image(build, url, limit_s):
    """media_demo alone until its first image: spawn to the complete 0.jpg, then SIGINT."""
    directory = tempfile.mkdtemp(prefix="bench-first-")
    watcher = Watcher(build, directory, limit_s)
    output = open(os.path.join(directory, ".log"), "w")
    spawned = time.time_ns()
    process = subprocess.Popen(["timeout", "-k", "5", str(limit_s), os.path.join(build, "demo", "media_demo"), url],
                               cwd=directory, stdout=output, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + limit_s
    while not watcher.events and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.005)
    appeared = sorted(watcher.events.values())
    # A SIGINT ends the stream (the program says goodbye to the server), a second one its
    # five-second pause. timeout passes on only the first: the second goes to the program.
    if process.poll() is None:
        process.send_signal(signal.SIGINT)
    wait_until = time.monotonic() + 10
    while process.poll() is None and time.monotonic() < wait_until:
        if "[Decoder] finished" in open(output.name, errors="replace").read():
            try:
                children = open(f"/proc/{process.pid}/task/{process.pid}/children").read().split()
            except OSError:
                children = []
            for child in children:
                os.kill(int(child), signal.SIGINT)
            break
        time.sleep(0.02)
    try:
        process.wait(timeout=15)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
    watcher.stop()
    output.close()
    text = open(output.name, errors="replace").read()
    result = {"tool": "media_demo", "exit": process.returncode,
              "first_ms": (appeared[0] - spawned) / 1e6 if appeared else None,
              "waiting_lines": text.count("waiting for a keyframe")}
    if not appeared:
        result["error"] = f"exit {process.returncode}, no image: {text[-400:]}"
        log(f"  media_demo failed: {result['error']}")
    shutil.rmtree(directory, ignore_errors=True)
    return result


def first_image_cases(build, port, runs, limit_s):
    """The breakdown program and media_demo itself, alternating, in each case."""
    cases = []
    # Runs take about as long each; without a random pause every join would fall at the
    # same point of the keyframe interval.
    spread = random.Random(1)
    for name, mount, gop_s in FIRST_IMAGE_CASES:
        url = f"rtsp://127.0.0.1:{port}/{mount}"
        log(f"first image, {name}: {url}")
        joined = gop_s is not None
        keeper = None
        if joined:
            # Only copies packets: it keeps the stream going at little CPU cost.
            keeper = subprocess.Popen(["timeout", "-k", "5", "900", "ffmpeg", "-hide_banner", "-nostdin", "-loglevel",
                                       "error", "-rtsp_transport", "tcp", "-i", url, "-c", "copy", "-f", "null", "-"],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
            time.sleep(3)
        results = []
        try:
            for round_index in range(runs):
                order = [run_breakdown, run_first_image][::1 if round_index % 2 == 0 else -1]
                for run in order:
                    time.sleep(SETTLE_S + (spread.uniform(0, gop_s) if joined else 0))
                    result = run(build, url, limit_s)
                    result["round"] = round_index
                    results.append(result)
                    if "error" not in result:
                        log(f"  round {round_index + 1}/{runs} {result['tool']:22s} first image "
                            f"{result.get('total', result.get('first_ms')):6.0f} ms")
        finally:
            if keeper is not None:
                if keeper.poll() is not None:
                    log(f"  the client keeping {mount} going ended early (exit {keeper.returncode}): "
                        "later runs were fresh sessions")
                os.killpg(keeper.pid, signal.SIGTERM)
                try:
                    keeper.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    os.killpg(keeper.pid, signal.SIGKILL)
                    keeper.wait()
        cases.append({"case": name, "mount": mount, "joined": joined, "runs": results})
    return cases


def record_clip(url, path):
    """The live stream's packets, so the stages can be measured on its pictures."""
    subprocess.run(["timeout", "-k", "5", "60", "ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error",
                    "-rtsp_transport", "tcp", "-i", url, "-c", "copy", "-frames:v", "110", "-y", path],
                   check=True)


def stages(build, path, runs):
    out = subprocess.run(["timeout", "-k", "5", "600", os.path.join(build, "bench", "stage_bench"), path, str(runs),
                          str(PICTURES)],
                         capture_output=True, text=True, check=True).stdout
    figures = {}
    for line in out.splitlines():
        match = re.match(r"(\w+) cpu_ms=([\d.]+) wall_ms=([\d.]+) first_cpu_ms=([\d.]+)$", line)
        if match:
            figures[match.group(1)] = {"cpu_ms": float(match.group(2)), "wall_ms": float(match.group(3)),
                                       "first_cpu_ms": float(match.group(4))}
    return figures


def startup_cpu(build, runs):
    """CPU time media_demo spends before any work: loading and linking its libraries."""
    samples = []
    for _ in range(runs):
        process = subprocess.Popen(["timeout", "-k", "5", "30", os.path.join(build, "demo", "media_demo")],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, _, usage = os.wait4(process.pid, 0)
        process.returncode = 0
        samples.append(usage.ru_utime + usage.ru_stime)
    return statistics.median(samples)


def jpeg_quant_tables(path):
    """The quantisation tables of a baseline JPEG file (DQT segments)."""
    data = open(path, "rb").read()
    tables, at = [], 2
    while at + 4 <= len(data):
        marker, length = data[at + 1], int.from_bytes(data[at + 2:at + 4], "big")
        if marker == 0xDA:
            break
        if marker == 0xDB:
            segment, pos = data[at + 4:at + 2 + length], 0
            while pos < len(segment):
                wide = segment[pos] >> 4
                count = 128 if wide else 64
                raw = segment[pos + 1:pos + 1 + count]
                tables.append([int.from_bytes(raw[i:i + 2], "big") for i in range(0, count, 2)] if wide
                              else list(raw))
                pos += 1 + count
        at += 2 + length
    return tables


def calibrate_ffmpeg(build, media, candidates=(1, 2, 3)):
    """Picks ffmpeg's -q:v whose mean quantiser step is closest to libjpeg quality 95's
    (OpenCV's default), weighting luma and chroma blocks as in 4:2:0 (4 to 2)."""
    source = os.path.join(media, "h264_1080.mp4")
    directory = tempfile.mkdtemp(prefix="bench-quality-")
    subprocess.run(["timeout", "-k", "5", "60", os.path.join(build, "bench", "opencv_peer"), source],
                   cwd=directory, check=True, capture_output=True)
    reference = jpeg_quant_tables(os.path.join(directory, "0.jpg"))
    size = sum(os.path.getsize(os.path.join(directory, f"{i}.jpg")) for i in range(PICTURES))

    def weighted_step(tables):
        luma = sum(tables[0]) / 64
        chroma = sum(tables[1 if len(tables) > 1 else 0]) / 64
        return (4 * luma + 2 * chroma) / 6

    rows = [{"encoder": "media_demo / OpenCV / libjpeg quality 95", "mean_step": weighted_step(reference), "bytes": size}]
    for q in candidates:
        for name in os.listdir(directory):
            os.unlink(os.path.join(directory, name))
        argv = ["ffmpeg", "-nostdin", "-loglevel", "error", "-i", source, "-frames:v", str(PICTURES), "-q:v", str(q)]
        argv += ["-qmin", str(q)] if q < 2 else []
        subprocess.run(["timeout", "-k", "5", "120", *argv, "-start_number", "0", "%d.jpg"], cwd=directory, check=True)
        size = sum(os.path.getsize(os.path.join(directory, f"{i}.jpg")) for i in range(PICTURES))
        rows.append({"encoder": f"ffmpeg -q:v {q}", "q": q,
                     "mean_step": weighted_step(jpeg_quant_tables(os.path.join(directory, "0.jpg"))), "bytes": size})
    shutil.rmtree(directory, ignore_errors=True)
    best = min(rows[1:], key=lambda r: abs(r["mean_step"] - rows[0]["mean_step"]))
    return best["q"], rows


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True)
    parser.add_argument("--media", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sizes", default="360,720,1080,2160")
    parser.add_argument("--tools", default=",".join(TOOLS))
    parser.add_argument("--limit", type=int, default=120, help="seconds one tool run may take")
    parser.add_argument("--no-live", action="store_true", help="skip both live sources")
    parser.add_argument("--no-numbered", action="store_true", help="skip the numbered live source")
    parser.add_argument("--codecs", default=",".join(CODECS), help="codecs of the numbered live source")
    parser.add_argument("--no-stages", action="store_true")
    parser.add_argument("--no-breakdown", action="store_true", help="skip the first-image breakdown")
    parser.add_argument("--variant", action="append", default=[], metavar="NAME=BUILD",
                        help="also run BUILD/demo/media_demo as tool NAME (before/after comparisons)")
    parser.add_argument("--ffmpeg-q", type=int, default=0, help="skip calibration and use this -q:v")
    args = parser.parse_args()
    # Tools run in their own scratch directories, so every path handed to them is absolute.
    args.build, args.media, args.out = (os.path.abspath(p) for p in (args.build, args.media, args.out))
    for variant in args.variant:
        name, _, build = variant.partition("=")
        VARIANTS[name] = os.path.abspath(build)
    tools = args.tools.split(",") + list(VARIANTS)
    sizes = [s for s in args.sizes.split(",") if s]
    os.makedirs(args.out, exist_ok=True)

    report = {"started": time.strftime("%Y-%m-%d %H:%M:%S"), "runs": args.runs, "load_start": os.getloadavg(),
              "pictures": PICTURES, "sizes": {s: SIZES[s] for s in sizes}}
    if args.ffmpeg_q:
        report["ffmpeg_q"], report["quality"] = args.ffmpeg_q, []
    else:
        report["ffmpeg_q"], report["quality"] = calibrate_ffmpeg(args.build, args.media)
    args.ffmpeg_q = report["ffmpeg_q"]
    log(f"ffmpeg -q:v {args.ffmpeg_q}")

    # One untimed run of each tool first, so no tool pays for a cold page cache.
    for tool in tools:
        run_tool(tool, os.path.join(args.media, "h264_360.mp4"), args.build, args.ffmpeg_q, args.limit)

    results, stage_figures = [], {}
    servers = []
    try:
        if not args.no_live:
            # The camera mounts of the breakdown at the size of /h264_1080.
            rtsp = Server(["/usr/bin/python3", os.path.join(ROOT, "tests", "servers", "rtsp_server.py"), "--port", "0",
                           "--size", "1920x1080"])
            servers.append(rtsp)
            url = f"rtsp://127.0.0.1:{rtsp.port}/h264_1080"
            results += run_source("rtsp_1080", url, tools, args.runs, args)
            if not args.no_stages:
                clip = os.path.join(args.out, "rtsp_1080.mkv")
                record_clip(url, clip)
                stage_figures["rtsp_1080"] = stages(args.build, clip, args.runs)
            if not args.no_breakdown:
                report["first_image"] = first_image_cases(args.build, rtsp.port, args.runs, 30)
            rtsp.stop()

        report["sent"] = {}  # source -> frame number -> [sent_ns, captured_ns]
        for codec in ([] if args.no_live or args.no_numbered else args.codecs.split(",")):
            # numbered_1080 is H.264, as before the other codecs were added.
            name = "numbered_1080" if codec == "h264" else f"numbered_{codec}_1080"
            send_log = os.path.join(args.out, f"{name}_sent.log")
            open(send_log, "w").close()
            numbered = Server(["/usr/bin/python3", os.path.join(HERE, "numbered_source.py"), "--port", "0",
                               "--log", send_log, "--codec", codec])
            servers.append(numbered)
            url = f"rtsp://127.0.0.1:{numbered.port}/numbered"
            results += run_source(name, url, tools, args.runs, args, read_numbers(args.build))
            numbered.stop()
            report["sent"][name] = {}
            for line in open(send_log):
                number, sent, captured = (int(v) for v in line.split())
                report["sent"][name][number] = [sent, captured]

        for size in sizes:
            path = os.path.join(args.media, f"h264_{size}.mp4")
            results += run_source(f"mp4_{size}", path, tools, args.runs, args)
            if not args.no_stages:
                log(f"stages on {path}")
                stage_figures[f"mp4_{size}"] = stages(args.build, path, args.runs)
    finally:
        for server in servers:
            server.stop()

    report.update(results=results, stages=stage_figures, startup_cpu_s=startup_cpu(args.build, args.runs),
                  load_end=os.getloadavg(), finished=time.strftime("%Y-%m-%d %H:%M:%S"))
    with open(os.path.join(args.out, "results.json"), "w") as out:
        json.dump(report, out, indent=1)
    log(f"wrote {os.path.join(args.out, 'results.json')}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
