// Background loop that clears the in-flight counts of servers that are no
// longer running (their leases will never be released).
#include "balancer/methods.h"
#include "balancer/record.h"
#include "lifecycle/lifecycle.h"

namespace lb::functions {
namespace {

py::Name n_sleep{"sleep"}, n_CancelledError{"CancelledError"};

struct ReaperFrame final : py::Frame {
    Context c_;  // the module and method this frame runs
    Call c() const { return c_; }
    Ref lb, interval, list_running;

    // Where the loop is suspended: nowhere yet, in the sleep, or awaiting
    // the listing of running servers.
    enum class At { Start, Sleep, Listing } at = At::Start;

    py::Step resume(PyObject* sent) override {
        for (;;) {
            switch (at) {
                case At::Start:
                    // An error of the sleep itself (a time it rejects, no
                    // running loop, cancellation) ends the loop: no later
                    // pass could ever sleep.  So does an exception thrown
                    // into the loop while it sleeps (coro.throw(...)): the
                    // sleep's await raises it.
                    at = At::Sleep;
                    return py::Step::await(py::call_method(c().g.get(names::asyncio), n_sleep, interval));
                case At::Sleep:
                    if (!sent) throw py::Error{};
                    at = At::Start;
                    if (list_running.is_none()) break;
                    try {
                        Ref listing = py::call(list_running);
                        at = At::Listing;
                        return py::Step::await(std::move(listing));
                    } catch (const py::Error&) {
                        survive();
                    }
                    break;
                case At::Listing:
                    at = At::Start;
                    try {
                        if (!sent) throw py::Error{};
                        clear_orphans(sent);
                    } catch (const py::Error&) {
                        survive();
                    }
                    break;
            }
        }
    }

    // Force-clear every counted server missing from the running list.
    void clear_orphans(Handle authoritative) {
        Ref live = Ref::steal(PySet_New(nullptr));
        py::for_each(authoritative, [&](Handle rec) { py::check_int(PySet_Add(live, record::id(rec))); });
        Ref counted = py::to_list(attr(lb, names::inflight));
        py::for_each(counted, [&](Handle sid) {
            if (!py::contains(live, sid)) call::force_clear(c(), lb, sid);
        });
    }

    // A pass failed with the exception that is set: cancellation and
    // anything that is not an ordinary error end the loop; ordinary errors
    // are logged and the loop goes on.
    void survive() {
        py::Exc failure = py::Exc::fetch();
        bool ends_loop;
        {
            // An error raised while handling the failure is chained to it,
            // as it would be in an except clause.
            py::Handling h(failure.get());
            Ref cancelled = py::getattr(c().g.get(names::asyncio), n_CancelledError);
            ends_loop = failure.matches(cancelled) || !failure.matches(PyExc_Exception);
            if (!ends_loop) log(c(), names::warning, "inflight reaper iteration failed: %s", Handle(failure.get()));
        }
        if (ends_loop) failure.raise();
    }

    PY_FRAME_REFS(lb, interval, list_running)
};

}  // namespace

Ref inflight_reaper_loop(const Call& c, Handle lb, Handle interval_sec, Handle list_running_servers) {
    auto [coro, frame] = py::make_coroutine<ReaperFrame>(c);
    frame.c_ = Context(c);
    frame.lb = Ref::borrow(lb);
    frame.interval = interval_sec ? Ref::borrow(interval_sec) : py::new_float(60.0);
    frame.list_running = Ref::borrow(list_running_servers.or_none());
    return std::move(coro);
}

}  // namespace lb::functions
