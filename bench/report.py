#!/usr/bin/python3
"""Turns bench/compare.py's results.json into the tables of docs/performance.md (the
part between the "results" markers; the rest of the page is written by hand) and the
plot docs/performance.png (gnuplot).

Usage: report.py <results.json> <performance.md> <performance.png>
"""
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile

TOOLS = ["media_demo", "ffmpeg", "opencv", "gstreamer"]
PEERS = TOOLS[1:]
BEGIN, END = "<!-- results:begin -->", "<!-- results:end -->"
# The numbered live source in each codec (bench/numbered_source.py --codec).
NUMBERED = {"numbered_1080": "H.264", "numbered_hevc_1080": "HEVC", "numbered_mjpeg_1080": "Motion JPEG"}
# media_demo's CPU account (MEDIA_DEMO_CPU_ACCOUNT), in the program's order.
ACCOUNT_PARTS = ["start-up", "open", "read", "decode", "queue first touch", "convert", "encode", "write",
                 "worker rest", "other threads", "exit"]
AGE_P95_MS = 30
CPU_SHARE_OF_BEST_PEER = 0.85
QUEUE_IMAGES = 51
SLACK_BYTES = 64 << 20


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def percentile(values, fraction):
    values = sorted(values)
    if not values:
        return None
    return values[min(len(values) - 1, int(round(fraction * (len(values) - 1))))]


def fmt(value, digits=1):
    return "–" if value is None else f"{value:.{digits}f}"


class Results:
    def __init__(self, data):
        self.data = data
        self.sources = []
        for result in data["results"]:
            if result["source"] not in self.sources:
                self.sources.append(result["source"])
        self.sent = {source: {int(k): v for k, v in sent.items()} for source, sent in data.get("sent", {}).items()}
        self.convert = None

    def tools(self, source):
        """The compared tools that ran on the source."""
        present = {r["tool"] for r in self.data["results"] if r["source"] == source}
        return [t for t in TOOLS if t in present]

    def runs(self, source, tool):
        return [r for r in self.data["results"] if r["source"] == source and r["tool"] == tool and "error" not in r]

    def failures(self, source, tool):
        return sum(1 for r in self.data["results"] if r["source"] == source and r["tool"] == tool and "error" in r)

    def cpu_ms(self, source, tool):
        return median([r["cpu_s"] * 1000 / r["files"] for r in self.runs(source, tool)])

    def figure(self, source, tool, key):
        return median([r[key] for r in self.runs(source, tool)])

    def rss_mib(self, source, tool):
        value = self.figure(source, tool, "maxrss_kb")
        return None if value is None else value / 1024

    def ages(self, source, tool):
        """All picture ages (ms), the first picture's age per run, unreadable pictures."""
        ages, firsts, unreadable = [], [], 0
        sent = self.sent.get(source, {})
        for run in self.runs(source, tool):
            run_ages = []
            for _name, number, appeared in run.get("numbers", []):
                if number < 0 or number not in sent:
                    unreadable += 1
                    continue
                run_ages.append((appeared - sent[number][0]) / 1e6)
            if run_ages:
                firsts.append(run_ages[0])
                ages += run_ages
        return ages, firsts, unreadable

    def account_run(self, source):
        """media_demo's run with a CPU account whose CPU per image is the median among those
        runs (of an even number, the lower middle one)."""
        runs = sorted((r for r in self.runs(source, "media_demo") if "cpu_account" in r),
                      key=lambda r: r["cpu_s"] / r["files"])
        return runs[(len(runs) - 1) // 2] if runs else None

    def ours_ms(self, source):
        """media_demo's CPU per image without the first touch of its queue's memory."""
        run = self.account_run(source)
        if run is None:
            return None
        return (run["cpu_s"] - run["cpu_account"]["parts"].get("queue first touch", 0)) * 1000 / run["files"]

    def size(self, source):
        if source.startswith("mp4_"):
            return tuple(self.data["sizes"][source[4:]])
        return (1920, 1080)


def machine():
    def run(argv):
        try:
            return subprocess.run(["timeout", "-k", "5", "30", *argv], capture_output=True, text=True,
                                  check=False).stdout
        except OSError:
            return ""
    cpu = {}
    for line in run(["lscpu"]).splitlines():
        key, _, value = line.partition(":")
        cpu[key.strip()] = value.strip()
    packages = run(["dpkg-query", "-W", "-f", "${Package} ${Version}\n", "ffmpeg", "libavcodec59", "libswscale6",
                    "libopencv-core406", "libopencv-imgcodecs406", "libopencv-videoio406", "libjpeg62-turbo",
                    "libx264-164", "libx265-199", "gstreamer1.0-plugins-base", "gstreamer1.0-plugins-good",
                    "gstreamer1.0-plugins-bad", "gstreamer1.0-libav", "libgstrtspserver-1.0-0",
                    "g++"]).strip().splitlines()
    return cpu, packages


def tables(results):
    data = results.data
    out = []
    out.append(f"Run {data['started']} – {data['finished']}, median of {data['runs']} runs per tool and source, "
               f"tools interleaved; load average {data['load_start'][0]:.2f} at the start, "
               f"{data['load_end'][0]:.2f} at the end. ffmpeg wrote JPEG at `-q:v {data['ffmpeg_q']}`.")
    out.append("")
    out.append("### Per tool and source")
    out.append("")
    out.append("CPU = user + system time of the whole process tree per image written; first / 52nd = "
               "time from spawn to the first / 52nd complete JPEG file; RSS = peak resident memory. "
               "The ratio columns are media_demo's CPU per image over the peer's (below 1: media_demo is cheaper).")
    out.append("")
    out.append("| source | tool | CPU ms/image | ratio ours/tool | first image ms | 52nd image ms | peak RSS MiB | failed runs |")
    out.append("|---|---|---:|---:|---:|---:|---:|---:|")
    for source in results.sources:
        ours = results.cpu_ms(source, "media_demo")
        for tool in results.tools(source):
            cpu = results.cpu_ms(source, tool)
            ratio = ours / cpu if (ours and cpu) else None
            out.append(f"| {source} | {tool} | {fmt(cpu, 2)} | {fmt(ratio, 2) if tool != 'media_demo' else ''} | "
                       f"{fmt(results.figure(source, tool, 'first_ms'), 0)} | "
                       f"{fmt(results.figure(source, tool, 'last_ms'), 0)} | {fmt(results.rss_mib(source, tool), 0)} | "
                       f"{results.failures(source, tool)} |")
    out.append("")

    numbered = [s for s in results.sources if s in NUMBERED]
    if numbered:
        out.append("### Picture age on the numbered live source (1920x1080, 25 fps)")
        out.append("")
        out.append("Age = the moment the JPEG file appeared minus the moment the source handed that frame, "
                   "encoded, to its RTP payloader; over every image of every run. The source in each codec: "
                   "`numbered_1080` H.264, `numbered_hevc_1080` HEVC (x265 zerolatency, a keyframe every 25 "
                   "frames), `numbered_mjpeg_1080` Motion JPEG (jpegenc, RTP/JPEG).")
        out.append("")
        out.append("| codec | tool | median age ms | p95 age ms | first image age ms | first image ms after spawn | "
                   "unreadable images |")
        out.append("|---|---|---:|---:|---:|---:|---:|")
        for source in numbered:
            for tool in results.tools(source):
                ages, firsts, unreadable = results.ages(source, tool)
                out.append(f"| {NUMBERED[source]} | {tool} | {fmt(median(ages), 0)} | "
                           f"{fmt(percentile(ages, 0.95), 0)} | {fmt(median(firsts), 0)} | "
                           f"{fmt(results.figure(source, tool, 'first_ms'), 0)} | {unreadable} |")
        out.append("")

    out += cpu_account(results)

    out += first_image(results)

    stages = data.get("stages", {})
    if stages:
        startup = data["startup_cpu_s"] * 1000 / data["pictures"]
        out.append("### The stages alone (the limit)")
        out.append("")
        out.append(f"CPU ms per image of each stage alone on the same pictures (bench/stage_bench, median); "
                   f"sum = decode + convert + encode&write. media_demo's start-up (loading and linking its "
                   f"libraries, {data['startup_cpu_s'] * 1000:.0f} ms per run) is {startup:.2f} ms per image over "
                   f"{data['pictures']} images. Queue memory = getting {min(data['pictures'], 51)} fresh images (the queue's bound) from the "
                   "kernel (page faults and clearing), which the program's image queue needs and the peers do not: "
                   "median of the runs, and the first run, whose memory the process had never touched.")
        out.append("")
        out.append("| source | decode | convert | encode | encode&write | sum | media_demo | overhead ×sum | "
                   "overhead without start-up | queue memory | queue memory, first run |")
        out.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
        for source in results.sources:
            figures = stages.get(source) or stages.get(source.replace("numbered", "rtsp"))
            if not figures or source.startswith("numbered"):
                continue
            total = sum(figures[k]["cpu_ms"] for k in ("decode", "convert", "encode_write"))
            ours = results.cpu_ms(source, "media_demo")
            out.append(f"| {source} | {fmt(figures['decode']['cpu_ms'], 2)} | {fmt(figures['convert']['cpu_ms'], 2)} | "
                       f"{fmt(figures['encode']['cpu_ms'], 2)} | {fmt(figures['encode_write']['cpu_ms'], 2)} | "
                       f"{fmt(total, 2)} | {fmt(ours, 2)} | {fmt(ours / total if ours else None, 2)} | "
                       f"{fmt((ours - startup) / total if ours else None, 2)} | "
                       f"{fmt(figures['queue_memory']['cpu_ms'], 2)} | "
                       f"{fmt(figures['queue_memory'].get('first_cpu_ms'), 2)} |")
        out.append("")

    if data.get("quality"):
        out.append("### JPEG quality of the ffmpeg tool")
        out.append("")
        out.append("Mean quantiser step of the first picture's tables (luma and chroma weighted 4:2 as in "
                   "4:2:0) and bytes of all 52 files, 1920x1080 MP4. The ffmpeg setting closest in mean step "
                   "to libjpeg quality 95 is used.")
        out.append("")
        out.append("| encoder | mean quantiser step | bytes of 52 files |")
        out.append("|---|---:|---:|")
        for row in data["quality"]:
            out.append(f"| {row['encoder']} | {row['mean_step']:.2f} | {row['bytes']} |")
        out.append("")

    out += conversion(results.convert)

    cpu, packages = machine()
    out.append("### Machine")
    out.append("")
    flags = cpu.get("Flags", "").split()
    simd = "/".join(f for f in ("sse4_2", "avx2", "avx512f", "avx512bw") if f in flags) or "?"
    # lscpu's summary without its model and maker names.
    out.append(f"- CPU: {cpu.get('Architecture', '?')}, {cpu.get('CPU(s)', '?')} CPUs "
               f"({cpu.get('Thread(s) per core', '?')} thread per core), family {cpu.get('CPU family', '?')} "
               f"model {cpu.get('Model', '?')}, {cpu.get('BogoMIPS', '?')} BogoMIPS, {simd}, "
               f"{'virtual machine' if 'hypervisor' in flags else 'bare metal'}; kernel {platform.release()}")
    out.append(f"- Memory: {os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES') / 2**30:.1f} GiB; transparent "
               f"huge pages: {open('/sys/kernel/mm/transparent_hugepage/enabled').read().strip()}")
    out.append("- Packages: " + ", ".join(f"`{p}`" for p in packages))
    out.append("")
    out += targets(results)
    return out


FIRST_IMAGE_STEPS = [("startup", "start-up"), ("connect", "connect"), ("requests", "OPTIONS … PLAY"),
                     ("probe", "probe"), ("wait_keyframe", "wait for a keyframe"), ("decode", "decode"),
                     ("wait_admitted", "wait for an admitted picture"), ("convert", "convert"),
                     ("write", "encode & write")]


def spread(values, digits=0):
    values = [v for v in values if v is not None]
    return f"{fmt(min(values), digits)} – {fmt(max(values), digits)}" if values else "–"


def first_image(results):
    """Spawn to first image per tool, and media_demo's first image step by step."""
    data = results.data
    out = []
    live = [s for s in ("rtsp_1080", "numbered_1080") if s in results.sources]
    if live:
        out.append("### Time to the first image")
        out.append("")
        out.append("Spawn to the first complete JPEG file on the live 1920x1080 25 fps H.264 sources (a keyframe "
                   "each second, a fresh session every run), from the runs of the table above: median, and the "
                   "fastest and slowest run. Age = the first image's age on the numbered source (file appeared "
                   "minus frame sent).")
        out.append("")
        out.append("| tool | rtsp_1080 first image ms | fastest – slowest | numbered_1080 first image ms | "
                   "first image age ms |")
        out.append("|---|---:|---:|---:|---:|")
        for tool in TOOLS:
            runs = [r["first_ms"] for r in results.runs("rtsp_1080", tool)]
            firsts = results.ages("numbered_1080", tool)[1] if "numbered_1080" in results.sources else []
            out.append(f"| {tool} | {fmt(median(runs), 0)} | {spread(runs)} | "
                       f"{fmt(results.figure('numbered_1080', tool, 'first_ms'), 0)} | {fmt(median(firsts), 0)} |")
        out.append("")

    cases = data.get("first_image")
    if not cases:
        return out
    out.append("### media_demo's first image, step by step")
    out.append("")
    out.append("`bench/first_image_breakdown` (the program's classes in its worker's order, FFmpeg's own log "
               "messages stamped for the steps inside opening) and `media_demo` itself, alternating, "
               f"{data['runs']} runs each per case, 1920x1080 H.264 from `tests/servers/rtsp_server.py`. "
               "Each step is the median over the runs; the last two columns are the medians of spawn to "
               "file, for the breakdown program and for media_demo alone.")
    out.append("")
    out.append("| case | mount | " + " | ".join(label for _, label in FIRST_IMAGE_STEPS) +
               " | spawn → file | media_demo alone |")
    out.append("|---|---|" + "---:|" * (len(FIRST_IMAGE_STEPS) + 2))
    for case in cases:
        steps = [r for r in case["runs"] if r["tool"] == "first_image_breakdown" and "error" not in r]
        alone = [r["first_ms"] for r in case["runs"] if r["tool"] == "media_demo" and "error" not in r]
        out.append(f"| {case['case']} | `/{case['mount']}` | " +
                   " | ".join(fmt(median([r[key] for r in steps]), 1 if key != "startup" else 0)
                              for key, _ in FIRST_IMAGE_STEPS) +
                   f" | {fmt(median([r['total'] for r in steps]), 0)} | {fmt(median(alone), 0)} |")
    out.append("")
    out.append("Inside the steps (median, ms, unless said otherwise): the RTSP round trips; PLAY's reply to the "
               "first packet; the keyframe's arrival (its last packet read) to the image written; how much "
               "newer (stream time) the newest picture already received was when the image was written; "
               "runs that waited for a keyframe and that wait's range; pictures decoded after the keyframe "
               "but refused; media_demo's 'waiting for a keyframe' lines per run; failed runs.")
    out.append("")
    out.append("| case | OPTIONS / DESCRIBE / SETUP / PLAY | PLAY → first packet | keyframe → image | "
               "newest picture ahead, max | waited | wait for a keyframe, range | refused | "
               "waiting lines | failed |")
    out.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for case in cases:
        steps = [r for r in case["runs"] if r["tool"] == "first_image_breakdown" and "error" not in r]
        alone = [r for r in case["runs"] if r["tool"] == "media_demo" and "error" not in r]
        failed = sum(1 for r in case["runs"] if "error" in r)
        trips = " / ".join(fmt(median([r["round_trips"].get(m) for r in steps]), 0)
                           for m in ("OPTIONS", "DESCRIBE", "SETUP", "PLAY"))
        behind = [r["behind_ms"] for r in steps if r.get("behind_ms") is not None]
        lines = sorted({r["waiting_lines"] for r in alone})
        out.append(f"| {case['case']} | {trips} | {fmt(median([r['play_to_first_packet'] for r in steps]), 0)} | "
                   f"{fmt(median([r['keyframe_to_image'] for r in steps]), 0)} | "
                   f"{fmt(max(behind) if behind else None, 0)} | {sum(r['waited'] for r in steps)}/{len(steps)} | "
                   f"{spread([r['wait_keyframe'] for r in steps])} | "
                   f"{fmt(median([r['refused_after_keyframe'] for r in steps]), 0)} | "
                   f"{', '.join(str(n) for n in lines) or '–'} | {failed} |")
    out.append("")
    return out


def conversion(convert):
    """bench/convert_bench's CPU time per pixel, by method, layout and size."""
    if not convert:
        return []
    table, sizes = {}, []
    for bench in convert.get("benchmarks", []):
        parts = bench["name"].split("/")
        if len(parts) < 4 or bench.get("run_type", "iteration") != "iteration":
            continue
        method, layout, width, height = parts[0][3:], parts[1], int(parts[2]), int(parts[3])
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[bench.get("time_unit", "ns")]
        table[(method, layout)] = table.get((method, layout), {})
        table[(method, layout)][(width, height)] = bench["cpu_time"] * scale / (width * height)
        if (width, height) not in sizes:
            sizes.append((width, height))
    out = ["### Frame to BGR conversion alone (bench/convert_bench)", "",
           "CPU ns per pixel. Scaler = the library's path (a new image per picture, as the program does); "
           "SwsFastBilinear = libswscale's fast path, not correct at every width; CvtColor = OpenCV on a "
           "whole picture (worker threads allowed).", "",
           "| method | layout | " + " | ".join(f"{w}x{h}" for w, h in sizes) + " |",
           "|---|---|" + "---:|" * len(sizes)]
    for (method, layout), figures in table.items():
        out.append(f"| {method} | {layout} | " + " | ".join(fmt(figures.get(s), 3) for s in sizes) + " |")
    out.append("")
    return out


def cpu_account(results):
    """media_demo's CPU per image split into the parts the program accounts for itself."""
    sources = [s for s in results.sources if results.runs(s, "media_demo")]
    if not sources:
        return []
    chosen = {s: results.account_run(s) for s in sources}
    parts = list(ACCOUNT_PARTS)
    for run in chosen.values():
        parts += [p for p in (run["cpu_account"]["parts"] if run else {}) if p not in parts]
    out = ["### media_demo's CPU, every millisecond", "",
           "CPU ms per image (user + system) of media_demo, split into the parts the program accounts for "
           "itself (`MEDIA_DEMO_CPU_ACCOUNT`), for each source from one run: the one whose total is the median "
           "of the runs with an account (of an even number of runs, the lower middle one), so its parts add "
           "up to its total. Total = the run's CPU time from wait4, as in the first table (there the median "
           "of all runs: the same figure with an odd number of runs). After the account = the total less "
           "the program's CPU time when it wrote its account: its exit from there, and `timeout`. Ours = "
           "total − queue first touch, the memory of the image queue that no peer has; the ratios divide "
           "it by the peer's CPU per image in the first table.", ""]
    out.append("| part | " + " | ".join(sources) + " |")
    out.append("|---|" + "---:|" * len(sources))

    def line(label, value):
        cells = []
        for source in sources:
            run = chosen[source]
            figure = value(source, run) if run else None
            cells.append("not measured" if figure is None else fmt(figure, 2))
        out.append(f"| {label} | " + " | ".join(cells) + " |")

    def per_image(seconds, run):
        return seconds * 1000 / run["files"]

    if any(chosen.values()):
        for part in parts:
            line(part, lambda _s, run, part=part: per_image(run["cpu_account"]["parts"].get(part, 0), run))
    else:
        line("parts", lambda _s, _r: None)  # this media_demo writes no account
    unaccounted = {s: chosen[s]["cpu_account"]["process_cpu_s"] - sum(chosen[s]["cpu_account"]["parts"].values())
                   for s in sources if chosen[s]}
    if any(abs(v) >= 0.0005 for v in unaccounted.values()):
        line("in no part", lambda source, run: per_image(unaccounted[source], run))
    line("after the account", lambda _s, run: per_image(run["after_account_s"], run))
    cells = []
    for source in sources:
        run = chosen[source]
        cells.append(fmt(per_image(run["cpu_s"], run) if run else results.cpu_ms(source, "media_demo"), 2))
    out.append("| **total** | " + " | ".join(f"**{c}**" for c in cells) + " |")
    line("ours = total − queue first touch", lambda source, _r: results.ours_ms(source))
    for peer in PEERS:
        line(f"ours / {peer}", lambda source, _r, peer=peer: (
            results.ours_ms(source) / results.cpu_ms(source, peer) if results.cpu_ms(source, peer) else None))
    counted = [f"{sum('cpu_account' in r for r in results.runs(s, 'media_demo'))}/{len(results.runs(s, 'media_demo'))}"
               for s in sources]
    out.append("| runs with an account | " + " | ".join(counted) + " |")
    out.append("")
    return out


def targets(results):
    out = ["### Targets", "",
           "Picture age over every image of every run; CPU without the queue's first touch from the table "
           "above, against the peer with the lowest CPU per image; peak RSS of media_demo's largest run at "
           "each picture size (1920x1080: the live sources and the MP4 file).", "",
           "| target | figure | limit | met |", "|---|---:|---:|---|"]

    def row(name, figure, limit, ok):
        out.append(f"| {name} | {figure} | {limit} | {'yes' if ok else ('no' if ok is not None else '–')} |")

    ages = {t: results.ages("numbered_1080", t)[0] for t in ("media_demo", "gstreamer")}
    ours_median, peer_median = median(ages["media_demo"]), median(ages["gstreamer"])
    ours_p95 = percentile(ages["media_demo"], 0.95)
    row("picture age, numbered H.264: median ≤ GStreamer's", f"{fmt(ours_median, 0)} ms", f"{fmt(peer_median, 0)} ms",
        ours_median <= peer_median if ours_median is not None and peer_median is not None else None)
    row("picture age, numbered H.264: p95", f"{fmt(ours_p95, 0)} ms", f"{AGE_P95_MS} ms",
        ours_p95 <= AGE_P95_MS if ours_p95 is not None else None)

    for source in ("rtsp_1080", "mp4_1080"):
        ours = results.ours_ms(source)
        peers = {t: results.cpu_ms(source, t) for t in PEERS if results.cpu_ms(source, t)}
        best = min(peers, key=peers.get) if peers else None
        limit = CPU_SHARE_OF_BEST_PEER * peers[best] if best else None
        row(f"CPU per image without the queue's first touch, {source}: ≤ {CPU_SHARE_OF_BEST_PEER} × best peer",
            "not measured" if ours is None else f"{ours:.2f} ms",
            f"{limit:.2f} ms ({CPU_SHARE_OF_BEST_PEER} × {best} {peers[best]:.2f})" if best else "–",
            ours <= limit if ours is not None and limit is not None else None)

    # The queue's bound has to hold in every run.
    by_size = {}
    for source in results.sources:
        by_size.setdefault(results.size(source), []).append(source)
    for (width, height), sources in sorted(by_size.items(), key=lambda item: item[0][0] * item[0][1]):
        runs = [(r["maxrss_kb"] / 1024, s) for s in sources for r in results.runs(s, "media_demo")]
        bound = (QUEUE_IMAGES * width * height * 3 + SLACK_BYTES) / 2**20
        rss, source = max(runs) if runs else (None, None)
        row(f"peak RSS at {width}x{height} ≤ 51 × w × h × 3 + 64 MiB",
            "not measured" if rss is None else f"{rss:.0f} MiB ({source})", f"{bound:.0f} MiB",
            rss <= bound if rss is not None else None)
    out.append("")
    return out


def plot(results, path):
    mp4 = [s for s in results.sources if s.startswith("mp4_")]
    if not mp4:
        return
    stages = results.data.get("stages", {})
    with tempfile.TemporaryDirectory() as directory:
        data_path = os.path.join(directory, "cpu.dat")
        with open(data_path, "w") as data:
            for source in mp4:
                width, height = results.size(source)
                row = [width * height / 1e6] + [results.cpu_ms(source, t) or float("nan") for t in TOOLS]
                figures = stages.get(source)
                row.append(sum(figures[k]["cpu_ms"] for k in ("decode", "convert", "encode_write"))
                           if figures else float("nan"))
                data.write(" ".join(f"{v:.4f}" for v in row) + f" {height}p\n")
        script = f"""
set terminal pngcairo size 900,600 font ",11" noenhanced
set output "{path}"
set title "CPU time per image against picture size (H.264 MP4, median of {results.data['runs']} runs)"
set xlabel "picture size (placed by pixel count, log scale)"
set ylabel "CPU ms per image (user + system, whole process)"
set logscale xy
set grid
set key left top
plot "{data_path}" using 1:2:xtic(7) with linespoints lw 2 pt 7 title "media_demo", \\
     "" using 1:3 with linespoints lw 2 pt 5 title "ffmpeg", \\
     "" using 1:4 with linespoints lw 2 pt 9 title "OpenCV", \\
     "" using 1:5 with linespoints lw 2 pt 11 title "GStreamer", \\
     "" using 1:6 with linespoints lw 2 dt 2 pt 1 lc rgb "black" title "media_demo stages alone (sum: decode + convert + encode and write)"
"""
        subprocess.run(["timeout", "-k", "5", "120", "gnuplot"], input=script, text=True, check=True)


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    results = Results(json.load(open(sys.argv[1])))
    convert_path = os.path.join(os.path.dirname(sys.argv[1]), "convert.json")
    if os.path.exists(convert_path):
        results.convert = json.load(open(convert_path))
    body = "\n".join(tables(results))
    doc_path = sys.argv[2]
    text = open(doc_path).read() if os.path.exists(doc_path) else f"# Performance\n\n{BEGIN}\n{END}\n"
    if BEGIN not in text or END not in text:
        text += f"\n{BEGIN}\n{END}\n"
    head, rest = text.split(BEGIN, 1)
    _, tail = rest.split(END, 1)
    with open(doc_path, "w") as out:
        out.write(f"{head}{BEGIN}\n{body}\n{END}{tail}")
    plot(results, os.path.abspath(sys.argv[3]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
