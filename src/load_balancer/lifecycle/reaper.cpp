// Background loop that clears the in-flight counts of servers that are no
// longer running (their leases will never be released).
#include "module.h"

namespace lb {
namespace {

py::Name n_sleep{"sleep"}, n_CancelledError{"CancelledError"};

struct ReaperFrame final : py::Frame {
    py::Ref globals, lb, interval, list_running;

    // Where the loop is suspended: nowhere yet, in the sleep, or awaiting
    // the listing of running servers.
    enum class At { Start, Sleep, Listing } at = At::Start;

    py::Step resume(PyObject* sent) override {
        py::Globals g(globals.get());
        for (;;) {
            try {
                switch (at) {
                    case At::Start:
                        break;
                    case At::Sleep:
                        if (!sent) throw py::Error{};
                        if (list_running.get() == Py_None) break;
                        at = At::Listing;
                        return py::Step::await(py::call(list_running.get()));
                    case At::Listing:
                        if (!sent) throw py::Error{};
                        clear_orphans(sent);
                        break;
                }
                // Next pass.
                at = At::Sleep;
                return py::Step::await(py::call_method(g.get(names::asyncio).get(), n_sleep, interval.get()));
            } catch (const py::Error&) {
                survive(g);
                at = At::Start;
            }
        }
    }

    // Force-clear every counted server missing from the running list.
    void clear_orphans(PyObject* authoritative) {
        py::Ref live = py::Ref::steal(PySet_New(nullptr));
        py::for_each(authoritative, [&](PyObject* record) {
            py::Ref sid = py::getitem(record, names::id);
            py::check_int(PySet_Add(live.get(), sid.get()));
        });
        py::Ref counted = py::to_list(attr(lb.get(), names::inflight).get());
        py::for_each(counted.get(), [&](PyObject* sid) {
            if (!py::contains(live.get(), sid)) py::call_method(lb.get(), names::force_clear, sid);
        });
    }

    // A pass failed with the exception that is set: cancellation and
    // anything that is not an ordinary error end the loop; ordinary errors
    // are logged and the loop goes on.
    static void survive(const py::Globals& g) {
        py::Exc failure = py::Exc::fetch();
        bool ends_loop = true;
        try {
            py::Ref cancelled = py::getattr(g.get(names::asyncio).get(), n_CancelledError);
            ends_loop = failure.matches(cancelled.get()) || !failure.matches(PyExc_Exception);
            if (!ends_loop) log(g, names::warning, "inflight reaper iteration failed: %s", failure.get());
        } catch (const py::Error&) {
            // An error while handling the failure carries the failure as its
            // context, as it would in an except clause.
            py::Exc raised = py::Exc::fetch();
            PyException_SetContext(raised.get(), Py_NewRef(failure.get()));
            raised.raise();
        }
        if (ends_loop) failure.raise();
    }

    PY_FRAME_REFS(globals, lb, interval, list_running)
};

}  // namespace

PY_COROUTINE_FUNCTION(inflight_reaper_loop, "inflight_reaper_loop",
            "lb, *, interval_sec=60.0, list_running_servers=None")
(const py::Call& c, const py::Args& a) {
    auto [coro, frame] = py::make_coroutine<ReaperFrame>(c);
    frame.globals = py::Ref::borrow(c.g.dict());
    frame.lb = py::Ref::borrow(a[0]);
    frame.interval = a[1] ? py::Ref::borrow(a[1]) : py::new_float(60.0);
    frame.list_running = py::Ref::borrow(a.get(2, Py_None));
    return std::move(coro);
}

}  // namespace lb
