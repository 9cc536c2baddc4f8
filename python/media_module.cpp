// The `media` Python module: live video sources read by the library's CameraReader,
// pictures handed over as numpy arrays.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <sstream>
#include <string>

#include "capture.h"
#include "frame.h"

namespace py = pybind11;
using media::python::Capture;
using media::python::CaptureOptions;
using media::python::Frame;
using media::reader::Delivery;
using media::reader::ReaderStats;
using media::reader::State;

namespace {

std::optional<Frame> read_frame(Capture& capture, std::optional<double> timeout) {
    media::reader::Image image;
    if (!capture.take(image, timeout)) {
        return std::nullopt;
    }
    return Frame(image);
}

std::string describe(Capture& capture) {
    std::ostringstream out;
    out << "<media.Capture " << capture.name() << " " << media::reader::to_string(capture.state()) << ">";
    return out.str();
}

std::string describe(const Frame& frame) {
    std::ostringstream out;
    const py::tuple shape = frame.image.attr("shape");
    out << "<media.Frame " << py::str(shape[1]).cast<std::string>() << "x" << py::str(shape[0]).cast<std::string>()
        << " sequence=" << frame.sequence << " pts="
        << (frame.pts ? py::repr(py::float_(*frame.pts)).cast<std::string>() : std::string("None"))
        << (frame.keyframe ? " keyframe" : "") << ">";
    return out.str();
}

std::string describe(const ReaderStats& stats) {
    std::ostringstream out;
    out << "media.Stats(images=" << stats.images << ", dropped=" << stats.dropped
        << ", failed_reads=" << stats.failed_reads << ", reconnections=" << stats.reconnections
        << ", time_went_back=" << stats.time_went_back
        << ", frame_rate=" << py::repr(py::float_(stats.frame_rate)).cast<std::string>() << ")";
    return out.str();
}

// An address as Python code passes it: a string, or a path to a file.
std::string address_of(const py::handle& url) {
    if (PyUnicode_Check(url.ptr()) == 0 && !py::hasattr(url, "__fspath__")) {
        throw py::value_error("url must be a string (an address or a path), not " +
                              py::str(url.get_type().attr("__name__")).cast<std::string>());
    }
    const std::string address = py::str(py::module_::import("os").attr("fspath")(url));
    if (address.empty()) {
        throw py::value_error("url is empty");
    }
    return address;
}

}  // namespace

PYBIND11_MODULE(media, m) {
    m.doc() =
        "Live video sources (RTSP, RTMP, MP4 files) read on threads of their own and handed to\n"
        "Python as 8-bit BGR numpy images: the newest picture or every picture, never a grey\n"
        "one, with reconnection after a stall and a close() that returns within 100 ms.\n\n"
        "    with media.Capture(\"rtsp://camera/stream\") as cap:\n"
        "        for frame in cap:\n"
        "            model(frame.image)\n\n"
        "The library's log lines go to logging.getLogger(\"media\").";

    // pybind11 looks numpy's C API up once, in a function-local static, on the first array
    // it makes. Made there, the lookup imports numpy while holding the static's guard; the
    // import lets go of the GIL, and a second thread making its first array then waits on
    // the guard holding the GIL the import needs back. Done here, under the import lock,
    // before any capture exists, no thread ever waits on it.
    py::detail::npy_api::get();

    static py::exception<media::python::OpenError> open_error(m, "OpenError", PyExc_OSError);
    open_error.doc() =
        "The source could not be opened: \"cannot open <address>: <FFmpeg's words>\", the\n"
        "password as ***, with FFmpeg's (negative) error code in .code; or wait_opened() found\n"
        "the capture closed (.code 0).";
    open_error.attr("code") = 0;
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) {
                std::rethrow_exception(thrown);
            }
        } catch (const media::python::OpenError& error) {
            py::object raised = py::reinterpret_borrow<py::object>(open_error)(error.what());
            raised.attr("code") = error.code();
            PyErr_SetObject(open_error.ptr(), raised.ptr());
        }
    });

    py::enum_<State>(m, "State", "Where a capture stands.")
        .value("OPENING", State::Opening, "The first open is under way.")
        .value("RUNNING", State::Running, "Open; pictures come in.")
        .value("RECONNECTING", State::Reconnecting,
               "The source stalled or went away; the reader tries again every second, for ever.")
        .value("FAILED", State::Failed, "The first open failed; nothing more comes.")
        .value("STOPPED", State::Stopped, "Closed.")
        .value("ENDED", State::Ended, "A file was read to its end; every picture was handed out.");

    py::enum_<Delivery>(m, "Delivery", "Which pictures read() hands out.")
        .value("NEWEST_ONLY", Delivery::NewestOnly,
               "The newest picture; older ones not read are dropped and counted in Frame.dropped.")
        .value("EVERY_IMAGE", Delivery::EveryImage,
               "Every picture in order, through a queue of queue_capacity; when it is full the\n"
               "reader waits, and a live source falls behind.");

    py::class_<Frame>(m, "Frame", "A picture and what is known of it.")
        .def_readonly("image", &Frame::image,
                      "numpy.ndarray (height, width, 3), uint8, BGR; read-only: the array shares the\n"
                      "reader's image, without a copy. image.copy() gives one to draw on.")
        .def_readonly("pts", &Frame::pts, "Presentation time in seconds; None when the source gave none.")
        .def_readonly("arrival", &Frame::arrival,
                      "When the picture's last packet came in, in seconds on time.monotonic()'s clock:\n"
                      "time.monotonic() - frame.arrival is the picture's age.")
        .def_readonly("sequence", &Frame::sequence, "0, 1, 2 ... over the capture's life, reconnections included.")
        .def_readonly("keyframe", &Frame::keyframe, "True for a keyframe.")
        .def_readonly("reconnections", &Frame::reconnections, "Successful reconnections before this picture.")
        .def_readonly("dropped", &Frame::dropped,
                      "NEWEST_ONLY: pictures replaced unseen since the previous read.")
        .def("__repr__", [](const Frame& frame) { return describe(frame); });

    py::class_<ReaderStats>(m, "Stats", "Counts over a capture's life.")
        .def_readonly("images", &ReaderStats::images, "Pictures decoded into images.")
        .def_readonly("dropped", &ReaderStats::dropped, "NEWEST_ONLY: images no one read before a newer one came.")
        .def_readonly("failed_reads", &ReaderStats::failed_reads, "Reads that failed.")
        .def_readonly("reconnections", &ReaderStats::reconnections, "Successful reconnections.")
        .def_readonly("time_went_back", &ReaderStats::time_went_back,
                      "Pictures dropped because their time was not after the last frame's.")
        .def_readonly("frame_rate", &ReaderStats::frame_rate, "The rate the stream declares; 25 when it declares none.")
        .def("__repr__", [](const ReaderStats& stats) { return describe(stats); });

    py::class_<Capture>(m, "Capture",
                        "One live source, read on a thread of its own from construction to close().\n\n"
                        "Decoding and every wait run without the GIL, so captures in several threads\n"
                        "and the model in another go on in parallel.")
        .def(py::init([](const py::object& url, Delivery delivery, long queue_capacity,
                         std::optional<std::string> name, std::optional<double> open_timeout, bool wait,
                         bool realtime, bool loop, bool retry) {
                 auto capture = std::make_unique<Capture>(
                     address_of(url), CaptureOptions{delivery, queue_capacity, name, realtime, loop, retry});
                 if (wait && !capture->wait_opened(open_timeout)) {
                     throw media::python::OpenError("cannot open " + capture->name() + ": no answer within " +
                                                    py::str(py::float_(*open_timeout)).cast<std::string>() + " s");
                 }
                 return capture;
             }),
             py::arg("url"), py::kw_only(), py::arg("delivery") = Delivery::NewestOnly, py::arg("queue_capacity") = 8,
             py::arg("name") = py::none(), py::arg("open_timeout") = 10.0, py::arg("wait") = true,
             py::arg("realtime") = false, py::arg("loop") = false, py::arg("retry") = false,
             "Starts reading url: rtsp://[user:password@]host/path (over TCP), rtmp://..., or a file.\n\n"
             "delivery: Delivery.NEWEST_ONLY (default) or Delivery.EVERY_IMAGE.\n"
             "queue_capacity: EVERY_IMAGE: pictures waiting to be read, at most (>= 1).\n"
             "name: shown in log lines; by default the url with its password as ***.\n"
             "wait: wait for the first open; raises OpenError when it fails (about 2 s for an\n"
             "address that does not answer) or has not ended within open_timeout seconds.\n"
             "With wait=False the constructor returns at once; see wait_opened().\n"
             "retry: a first open that fails does not raise; the capture tries again every\n"
             "second, as after a lost connection, and read() waits as for any picture.\n"
             "Files are read as files: every picture in order, as fast as they are read, then\n"
             "the end (read() gives (False, None), a for loop ends, state is ENDED).\n"
             "realtime: a file's pictures come at its own timestamps, as a camera sends them,\n"
             "and delivery applies. loop: a file starts over at its end.")
        .def("wait_opened", &Capture::wait_opened, py::arg("timeout") = py::none(),
             "Waits until the first open has ended: True when it succeeded, False when it is still\n"
             "under way after timeout seconds (None: no limit). Raises OpenError when it failed\n"
             "or the capture is closed.")
        .def(
            "read",
            [](Capture& capture, std::optional<double> timeout) {
                std::optional<Frame> frame = read_frame(capture, timeout);
                return frame ? py::make_tuple(true, frame->image) : py::make_tuple(false, py::none());
            },
            py::arg("timeout") = py::none(),
            "(True, image) with the next picture, as cv2.VideoCapture.read gives it, or (False, None)\n"
            "when none came within timeout seconds (None: no limit) or the capture is closed\n"
            "or failed.")
        .def("read_frame", &read_frame, py::arg("timeout") = py::none(),
             "The next picture as a Frame, with its metadata; None as read() gives (False, None).")
        .def("close", &Capture::close,
             "Stops reading within about 100 ms, whatever the reader is doing; reads waiting in other\n"
             "threads return at once. Safe to call again.")
        .def_property_readonly("state", &Capture::state, "The capture's State now.")
        .def_property_readonly(
            "reconnections", [](Capture& capture) { return capture.stats().reconnections; },
            "Successful reconnections so far.")
        .def_property_readonly("closed", &Capture::closed, "True after close().")
        .def_property_readonly("failure", &Capture::failure,
                               "Why the first open failed, the password as ***; empty otherwise.")
        .def_property_readonly("name", &Capture::name, "The name in the capture's log lines.")
        .def("stats", &Capture::stats, "Counts over the capture's life, as Stats.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Capture& capture, const py::args&) { capture.close(); })
        .def("__iter__", [](py::object self) { return self; })
        .def(
            "__next__",
            [](Capture& capture) {
                std::optional<Frame> frame = read_frame(capture, std::nullopt);
                if (!frame) {
                    throw py::stop_iteration();
                }
                return std::move(*frame);
            },
            "The next picture, waiting as long as it takes; the loop ends when the capture is\n"
            "closed or failed.")
        .def("__repr__", [](Capture& capture) { return describe(capture); });
}
