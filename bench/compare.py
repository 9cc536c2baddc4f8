#!/usr/bin/python3
"""Runs media_demo and the tools a user would pick instead side by side on the same
sources, and measures each doing the same job: the first 52 pictures written as JPEG
files. bench/run.sh builds what this needs and calls it; see docs/performance.md.

Per tool, source and run: CPU seconds of the whole process tree (wait4 rusage),
images written, peak resident memory, time from spawn to the first and to the 52nd
complete file (bench/file_watcher), and on the numbered live source the age of every
picture (file appeared minus frame sent). Tools are interleaved, the order rotating
each round, so a busy moment of the machine hits them alike. Results go to
<out>/results.json; report.py turns them into the tables and the plot.
"""
import argparse
import json
import os
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


def run_tool(tool, url, build, ffmpeg_q, limit_s, frame_reader=None):
    argv, extra_env, stop_text = tool_command(tool, url, build, ffmpeg_q)
    directory = tempfile.mkdtemp(prefix=f"bench-{tool}-")
    env = dict(os.environ, **extra_env)
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
    parser.add_argument("--no-stages", action="store_true")
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
            rtsp = Server(["/usr/bin/python3", os.path.join(ROOT, "tests", "servers", "rtsp_server.py"), "--port", "0"])
            servers.append(rtsp)
            url = f"rtsp://127.0.0.1:{rtsp.port}/h264_1080"
            results += run_source("rtsp_1080", url, tools, args.runs, args)
            if not args.no_stages:
                clip = os.path.join(args.out, "rtsp_1080.mkv")
                record_clip(url, clip)
                stage_figures["rtsp_1080"] = stages(args.build, clip, args.runs)
            rtsp.stop()

        if not args.no_live and not args.no_numbered:
            send_log = os.path.join(args.out, "numbered_sent.log")
            open(send_log, "w").close()
            numbered = Server(["/usr/bin/python3", os.path.join(HERE, "numbered_source.py"), "--port", "0",
                               "--log", send_log])
            servers.append(numbered)
            url = f"rtsp://127.0.0.1:{numbered.port}/numbered"
            results += run_source("numbered_1080", url, tools, args.runs, args, read_numbers(args.build))
            numbered.stop()
            report["sent"] = {}
            for line in open(send_log):
                number, sent, captured = (int(v) for v in line.split())
                report["sent"][number] = [sent, captured]

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
