// The balancer's counters as Prometheus text exposition.
#include <charconv>
#include <string>
#include <string_view>

#include "balancer/methods.h"
#include "balancer/native.h"
#include "telemetry/numbers.h"

namespace lb::LoadBalancer {
namespace {

// The fixed text of the exposition, which both paths write: each family's
// HELP and TYPE lines, and how its samples start (up to the label value, or
// up to the value when a sample has no label).
constexpr std::string_view kInflightHead =
    "# HELP varnel_lb_inflight Current in-flight requests per backend.\n"
    "# TYPE varnel_lb_inflight gauge\n";
constexpr std::string_view kInflightSample = "varnel_lb_inflight{server_id=\"";
constexpr std::string_view kDispatchHead =
    "# HELP varnel_lb_dispatch_total Cumulative dispatches per backend.\n"
    "# TYPE varnel_lb_dispatch_total counter\n";
constexpr std::string_view kDispatchSample = "varnel_lb_dispatch_total{server_id=\"";
constexpr std::string_view kRejectedHead =
    "# HELP varnel_lb_rejected_total Requests rejected by the load balancer.\n"
    "# TYPE varnel_lb_rejected_total counter\n";
constexpr std::string_view kRejectedSample = "varnel_lb_rejected_total{reason=\"";
constexpr std::string_view kQueueDepthHead =
    "# HELP varnel_lb_queue_depth Number of waiters currently queued.\n"
    "# TYPE varnel_lb_queue_depth gauge\n";
constexpr std::string_view kQueueDepthSample = "varnel_lb_queue_depth ";
constexpr std::string_view kQueueWaitHead =
    "# HELP varnel_lb_queue_wait_seconds Observed waiter wait times.\n"
    "# TYPE varnel_lb_queue_wait_seconds summary\n";
constexpr std::string_view kQueueWaitP50Sample = "varnel_lb_queue_wait_seconds{quantile=\"0.5\"} ";
constexpr std::string_view kQueueWaitP95Sample = "varnel_lb_queue_wait_seconds{quantile=\"0.95\"} ";
constexpr std::string_view kQueueWaitCountSample = "varnel_lb_queue_wait_seconds_count ";
constexpr std::string_view kLabelEnd = "\"} ";

// A label value's UTF-8 appended to `out` with backslash, double quote and
// newline escaped.  These three are ASCII, so they never occur inside a
// multi-byte sequence and can be replaced byte by byte.
void escape_label(std::string& out, const char* p, size_t n) {
    size_t done = 0;
    for (size_t i = 0; i < n; ++i) {
        std::string_view escaped;
        switch (p[i]) {
            case '\\': escaped = "\\\\"; break;
            case '"': escaped = "\\\""; break;
            case '\n': escaped = "\\n"; break;
            default: continue;
        }
        out.append(p + done, i - done);
        out.append(escaped);
        done = i + 1;
    }
    out.append(p + done, n - done);
}

// Accumulates the exposition as UTF-8.  Strings holding lone surrogates
// (which strict UTF-8 cannot carry) go through "surrogatepass" both ways,
// so every str value comes out unchanged.
class Text {
public:
    Text(Handle fmt_default, size_t reserve) : fmt_default_(fmt_default) { buf_.reserve(reserve); }

    void raw(std::string_view s) { buf_.append(s); }
    void raw(char ch) { buf_.push_back(ch); }

    void integer(long long v) {
        char digits[24];
        auto res = std::to_chars(digits, digits + sizeof digits, v);
        buf_.append(digits, res.ptr);
    }

    // format(x, ".4f")
    void fixed4(double x) { telemetry::append_fixed4(buf_, x); }

    // The str `s`, as is.
    void str(Handle s) {
        Py_ssize_t n = 0;
        if (const char* p = PyUnicode_AsUTF8AndSize(s, &n)) {
            buf_.append(p, size_t(n));
            return;
        }
        Ref bytes = surrogate_bytes(s);
        buf_.append(PyBytes_AS_STRING(bytes.get()), size_t(PyBytes_GET_SIZE(bytes.get())));
    }

    // The str `s` as a label value.
    void label_value(Handle s) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(s, &n);
        Ref bytes;
        if (!p) {
            bytes = surrogate_bytes(s);
            p = PyBytes_AS_STRING(bytes.get());
            n = PyBytes_GET_SIZE(bytes.get());
        }
        escape_label(buf_, p, size_t(n));
    }

    // A label value read directly: an exact int in decimal, or an exact str
    // escaped; false (with nothing written) for anything else, and for a
    // str that strict UTF-8 cannot carry.
    bool plain_label_value(PyObject* o) {
        long long v;
        if (py::small_int(o, v)) {
            integer(v);
            return true;
        }
        if (!PyUnicode_CheckExact(o)) return false;
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(o, &n);
        if (!p) return PyErr_Clear(), false;
        escape_label(buf_, p, size_t(n));
        return true;
    }

    // format(v, fmt), as is.
    void formatted(Handle v, Handle fmt) { str(Ref::steal(PyObject_Format(v, fmt))); }

    // A labelled sample: `start` is its text up to the label value.
    void sample(std::string_view start, Handle label_value_obj, Handle value, Handle fmt) {
        raw(start);
        label_value(Ref::steal(PyObject_Format(label_value_obj, fmt_default_)));
        raw(kLabelEnd);
        formatted(value, fmt);
        raw('\n');
    }

    // A sample without labels: `start` is its text up to the value.
    void sample(std::string_view start, Handle value) {
        raw(start);
        formatted(value, fmt_default_);
        raw('\n');
    }

    Ref finish() const { return Ref::steal(PyUnicode_DecodeUTF8(buf_.data(), Py_ssize_t(buf_.size()), "surrogatepass")); }

    Handle fmt_default() const { return fmt_default_; }

private:
    static Ref surrogate_bytes(Handle s) {
        PyErr_Clear();
        return Ref::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
    }

    std::string buf_;
    Handle fmt_default_;  // "": a value's default text
};

py::Name n_fixed4{".4f"};

// One sample per entry of `mapping`, labelled with its key.
void labelled_family(Text& t, Handle mapping, std::string_view start) {
    for (auto& [key, value] : py::items(mapping)) t.sample(start, key, value, t.fmt_default());
}

// One family's samples from an exact dict of plain keys and int values.
bool plain_family(Text& t, PyObject* d, std::string_view start) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    long long v;
    while (PyDict_Next(d, &pos, &key, &value)) {
        t.raw(start);
        if (!t.plain_label_value(key) || !py::small_int(value, v)) return false;
        t.raw(kLabelEnd);
        t.integer(v);
        t.raw('\n');
    }
    return true;
}

// The text built directly when every counter is a plain int keyed by a
// plain int or str and the samples are plain numbers (exact floats, bools,
// exact ints up to 2**53 in size; no NaN); NULL otherwise (the text is then
// built value by value, which nothing here has changed).
Ref prometheus_natively(const Call& c, Handle self) {
    Module& m = module_of(c);
    const fast::Facts& f = fast::facts(m.fast);
    fast::Inst inst;
    if (!inst.open(m, f, self)) return {};
    PyObject *inflight = inst.dict(fast::kInflight), *dispatch = inst.dict(fast::kDispatchCounts),
             *rejects = inst.dict(fast::kRejectCounts), *all = inst.get(fast::kAllWaiters),
             *samples = inst.get(fast::kQueueWaitSamples);
    if (!inflight || !dispatch || !rejects || !all || !PyList_CheckExact(all) || !samples) return {};
    telemetry::Samples waits;
    if (!waits.read(m, samples)) return {};

    Text t(m.empty_str,
           size_t(48 * (PyDict_GET_SIZE(inflight) + PyDict_GET_SIZE(dispatch) + PyDict_GET_SIZE(rejects))) + 1024);
    t.raw(kInflightHead);
    if (!plain_family(t, inflight, kInflightSample)) return {};
    t.raw(kDispatchHead);
    if (!plain_family(t, dispatch, kDispatchSample)) return {};
    t.raw(kRejectedHead);
    if (!plain_family(t, rejects, kRejectedSample)) return {};
    t.raw(kQueueDepthHead);
    t.raw(kQueueDepthSample);
    t.integer(PyList_GET_SIZE(all));
    t.raw('\n');
    if (size_t n = waits.size()) {
        double p50, p95;
        waits.values_at(telemetry::p50_index(n), telemetry::p95_index(n), p50, p95);
        t.raw(kQueueWaitHead);
        t.raw(kQueueWaitP50Sample);
        t.fixed4(p50);
        t.raw('\n');
        t.raw(kQueueWaitP95Sample);
        t.fixed4(p95);
        t.raw('\n');
        t.raw(kQueueWaitCountSample);
        t.integer(static_cast<long long>(n));
        t.raw('\n');
    }
    return t.finish();
}

}  // namespace

Ref prometheus_text(const Call& c, Handle self) {
    if (Ref text = prometheus_natively(c, self)) return text;
    Text t(module_of(c).empty_str, 1024);

    t.raw(kInflightHead);
    labelled_family(t, attr(self, names::inflight), kInflightSample);
    t.raw(kDispatchHead);
    labelled_family(t, attr(self, names::dispatch_counts), kDispatchSample);
    t.raw(kRejectedHead);
    labelled_family(t, attr(self, names::reject_counts), kRejectedSample);
    t.raw(kQueueDepthHead);
    t.sample(kQueueDepthSample, py::new_int(py::length(attr(self, names::_all_waiters))));

    Ref samples = attr(self, names::queue_wait_samples);
    if (py::truthy(samples)) {
        Ref sorted = py::to_list(samples);
        py::check_int(PyList_Sort(sorted));
        size_t n = size_t(PyList_GET_SIZE(sorted.get()));
        if (n == 0) py::raise(PyExc_IndexError, "list index out of range");
        // Hold both: formatting a sample may run arbitrary code.
        Ref p50 = Ref::borrow(PyList_GET_ITEM(sorted.get(), Py_ssize_t(telemetry::p50_index(n))));
        Ref p95 = Ref::borrow(PyList_GET_ITEM(sorted.get(), Py_ssize_t(telemetry::p95_index(n))));

        t.raw(kQueueWaitHead);
        t.raw(kQueueWaitP50Sample);
        t.formatted(p50, n_fixed4);
        t.raw('\n');
        t.raw(kQueueWaitP95Sample);
        t.formatted(p95, n_fixed4);
        t.raw('\n');
        t.sample(kQueueWaitCountSample, py::new_int(py::length(samples)));
    }
    return t.finish();
}

}  // namespace lb::LoadBalancer
