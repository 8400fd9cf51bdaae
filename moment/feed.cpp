// MomentsWnd.GetMoments: the visible posts, after turning the feed by one page on request.
#include "qyb/python.h"

#include "internal.h"
#include "parts.h"

namespace moment {
namespace {

// One call's reading of the feed: its deadline on the monotonic clock (or none), its pacing,
// and the steps that share them.
class FeedReader {
public:
    FeedReader(const qyb::Call& call, py::handle self, py::object deadline, py::handle interval,
               py::handle force_wait)
        : call_(call), self_(self), deadline_(std::move(deadline)), interval_(interval), force_wait_(force_wait) {}

    struct Read {
        py::list posts;
        py::list ids;
    };
    enum class Done { first_phase, second_phase };
    struct Advanced {
        Read read;
        bool bottom;
    };

    // Seconds left before the deadline, or None; TimeoutError once none are left.
    py::object remaining() const {
        if (deadline_.is_none()) {
            return py::none();
        }
        py::object left = minus(deadline_, call_.monotonic());
        if (qyb::compare(left, py::int_(0), Py_LE)) {
            qyb::raise(PyExc_TimeoutError, "timed out while reading moments");
        }
        return left;
    }

    // Sleeps `seconds`, never past the deadline, which is tested again afterwards.
    void pause(py::handle seconds) const {
        py::object left = remaining();
        sleep(call_, left.is_none() || !qyb::compare(left, seconds, Py_LT) ? seconds : py::handle(left));
        remaining();
    }

    Read read_snapshot() const {
        remaining();
        Read read;
        read.posts = py::list(qyb::call_method(self_, qyb::name<"_get_current_moments">()));
        for (py::handle post : read.posts) {
            read.ids.append(qyb::get(post, qyb::name<"id">()));
        }
        return read;
    }

    // Done-tests of the two phases: the old page's last post has reached the top of the list
    // (against the window's `_ids`, read afresh), then the first post has left the top.
    bool done(Done phase, const py::list& ids, py::handle kept) const {
        if (ids.empty()) {
            return false;
        }
        if (phase == Done::first_phase) {
            py::object anchor = qyb::get(self_, qyb::name<"_ids">());
            return qyb::equals(py::object(ids[0]), qyb::item(anchor, py::int_(-1)));
        }
        return qyb::compare(py::object(ids[0]), kept, Py_NE);
    }

    // Wheel scrolling until the done-test holds, or until the list stops moving (the end of the
    // feed, confirmed after a pause of force_wait).
    Advanced advance(const py::list& start, py::handle speed, Done phase, py::handle kept) const {
        py::list previous = py::list(qyb::steal(PySequence_List(start.ptr())));
        int stable = 0;
        while (true) {
            qyb::poll_round();
            remaining();
            qyb::call_method(qyb::get(self_, qyb::name<"control">()), qyb::name<"WheelDown">(),
                             qyb::kw<"wheelTimes">(speed));
            Read read = read_snapshot();
            if (done(phase, read.ids, kept)) {
                return {std::move(read), false};
            }
            py::list snapshot = read.ids;
            stable = qyb::equals(snapshot, previous) ? stable + 1 : 0;
            if (read.ids.empty() || stable >= 2) {
                pause(force_wait_);
                read = read_snapshot();
                if (qyb::equals(read.ids, snapshot)) {
                    return {std::move(read), true};
                }
                if (done(phase, read.ids, kept)) {
                    return {std::move(read), false};
                }
                snapshot = read.ids;
                stable = 0;
            }
            previous = snapshot;
            pause(interval_);
        }
    }

    void pause_force_wait() const { pause(force_wait_); }

private:
    const qyb::Call& call_;
    py::handle self_;
    py::object deadline_;
    py::handle interval_;
    py::handle force_wait_;
};

py::object get_moments(const qyb::Call& call) {
    auto [self, next_page, speed1, speed2, interval, force_wait, timeout] = call.args<7>();
    py::object deadline = py::none();
    if (!timeout.is_none()) {
        bool finite = qyb::truthy(qyb::call_method(call.global<"math">(), qyb::name<"isfinite">(), timeout));
        if (!finite || qyb::compare(timeout, py::int_(0), Py_LE)) {
            qyb::raise(PyExc_ValueError, "timeout must be a finite number greater than zero");
        }
        deadline = qyb::steal(PyNumber_Add(call.monotonic().ptr(), timeout.ptr()));
    }
    FeedReader reader(call, self, deadline, interval, force_wait);

    // The anchor: the ids of the first read, less the first post that the last roll into view
    // brought in from outside the page.
    py::list anchor = reader.read_snapshot().ids;
    qyb::set(self, qyb::name<"_ids">(), anchor);
    py::object roll = qyb::get(self, qyb::name<"_roll_cache_id">());
    py::object entries = qyb::call_method(roll, qyb::name<"items">());
    for (py::handle entry : entries) {
        auto [id, was_visible] = qyb::unpack_pair(entry);
        if (!qyb::truthy(was_visible)) {
            if (qyb::contains(anchor, id)) {
                qyb::call_method(anchor, qyb::name<"remove">(), id);
            }
            break;
        }
    }

    if (qyb::truthy(next_page) && !anchor.empty()) {
        auto first = reader.advance(anchor, speed1, FeedReader::Done::first_phase, py::none());
        if (first.bottom) {
            return first.read.posts;
        }
        py::object kept = py::object(first.read.ids[0]);
        auto second = reader.advance(first.read.ids, speed2, FeedReader::Done::second_phase, kept);
        if (second.bottom) {
            return second.read.posts;
        }
        reader.pause_force_wait();
    }
    return reader.read_snapshot().posts;
}

}  // namespace

qyb::FunctionDef get_moments_def() {
    return {.name = "GetMoments",
            .params = {qyb::arg("self"), qyb::arg("next_page", py::bool_(false)), qyb::arg("speed1", py::int_(1)),
                       qyb::arg("speed2", py::int_(1)), qyb::arg("interval", py::float_(0.3)),
                       qyb::arg("force_wait", py::int_(1)), qyb::arg("timeout", py::none())},
            .body = get_moments};
}

}  // namespace moment
