// The balancer's counters as Prometheus text exposition.
#include <charconv>
#include <cstring>
#include <vector>
#include <string>
#include <string_view>

#include "balancer/methods.h"
#include "balancer/native.h"
#include "telemetry/numbers.h"

namespace lb::LoadBalancer {
namespace {

// Accumulates the exposition as UTF-8.  Strings holding lone surrogates
// (which strict UTF-8 cannot carry) go through "surrogatepass" both ways,
// so every str value comes out unchanged.
class Text {
public:
    void raw(std::string_view s) { buf_.append(s); }

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

    // A label value: backslash, double quote and newline escaped.
    void label_value(Handle s) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(s, &n);
        Ref bytes;
        if (!p) {
            bytes = surrogate_bytes(s);
            p = PyBytes_AS_STRING(bytes.get());
            n = PyBytes_GET_SIZE(bytes.get());
        }
        // These three are ASCII, so they never occur inside a multi-byte
        // sequence and can be replaced byte by byte.
        for (Py_ssize_t i = 0; i < n; ++i) {
            char ch = p[i];
            switch (ch) {
                case '\\': buf_ += "\\\\"; break;
                case '"': buf_ += "\\\""; break;
                case '\n': buf_ += "\\n"; break;
                default: buf_ += ch;
            }
        }
    }

    // format(v, fmt), as is.
    void formatted(Handle v, Handle fmt) { str(Ref::steal(PyObject_Format(v, fmt))); }

    // name{label="value"} sample
    void sample(std::string_view name, std::string_view label, Handle label_value_obj, Handle value, Handle fmt) {
        raw(name);
        raw("{");
        raw(label);
        raw("=\"");
        label_value(Ref::steal(PyObject_Format(label_value_obj, fmt_default_)));
        raw("\"} ");
        formatted(value, fmt);
        raw("\n");
    }

    // name sample (no labels)
    void sample(std::string_view name, Handle value) {
        raw(name);
        raw(" ");
        formatted(value, fmt_default_);
        raw("\n");
    }

    Ref finish() const { return Ref::steal(PyUnicode_DecodeUTF8(buf_.data(), Py_ssize_t(buf_.size()), "surrogatepass")); }

    explicit Text(Handle fmt_default) : fmt_default_(fmt_default) {}
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
void labelled_family(Text& t, Handle mapping, std::string_view name, std::string_view label) {
    for (auto& [key, value] : py::items(mapping)) t.sample(name, label, key, value, t.fmt_default());
}

// The text as it is written: bytes appended to a buffer that grows.
class Out {
public:
    explicit Out(size_t reserve) { buf_.resize(reserve); }
    void put(const char* p, size_t n) {
        if (len_ + n > buf_.size()) buf_.resize((len_ + n) * 2);
        std::memcpy(buf_.data() + len_, p, n);
        len_ += n;
    }
    void put(std::string_view s) { put(s.data(), s.size()); }
    void put(char ch) { put(&ch, 1); }
    void put_int(long long v) {
        char digits[24];
        auto res = std::to_chars(digits, digits + sizeof digits, v);
        put(digits, size_t(res.ptr - digits));
    }
    void put_fixed4(double x) {
        std::string s;
        telemetry::append_fixed4(s, x);
        put(s);
    }
    Ref text() const { return Ref::steal(PyUnicode_DecodeUTF8(buf_.data(), Py_ssize_t(len_), nullptr)); }

private:
    std::vector<char> buf_;
    size_t len_ = 0;
};

// A label value: an exact int in decimal, or an exact str escaped; false
// for anything else.
bool put_label(Out& out, PyObject* o) {
    long long v;
    if (py::small_int(o, v)) {
        out.put_int(v);
        return true;
    }
    if (!PyUnicode_CheckExact(o)) return false;
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(o, &n);
    if (!p) return PyErr_Clear(), false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        switch (p[i]) {
            case '\\': out.put("\\\\"); break;
            case '"': out.put("\\\""); break;
            case '\n': out.put("\\n"); break;
            default: out.put(p[i]);
        }
    }
    return true;
}

// One family's samples from an exact dict of plain keys and int values.
bool plain_family(Out& out, PyObject* d, std::string_view prefix) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    long long v;
    while (PyDict_Next(d, &pos, &key, &value)) {
        out.put(prefix);
        if (!put_label(out, key) || !py::small_int(value, v)) return false;
        out.put("\"} ");
        out.put_int(v);
        out.put('\n');
    }
    return true;
}

// The text built directly when every counter is a plain int keyed by a
// plain int or str and the samples are plain floats; NULL otherwise (the
// text is then built value by value, which nothing here has changed).
Ref prometheus_natively(const Call& c, Handle self) {
    Module& m = module_of(c);
    const fast::Facts& f = fast::facts(m);
    fast::Inst inst;
    if (!inst.open(m, f, self)) return {};
    PyObject *inflight = inst.dict(fast::kInflight), *dispatch = inst.dict(fast::kDispatchCounts),
             *rejects = inst.dict(fast::kRejectCounts), *all = inst.get(fast::kAllWaiters),
             *samples = inst.get(fast::kQueueWaitSamples);
    if (!inflight || !dispatch || !rejects || !all || !PyList_CheckExact(all) || !samples) return {};
    telemetry::Samples waits;
    if (!waits.read(m, samples)) return {};

    Out out(size_t(48 * (PyDict_GET_SIZE(inflight) + PyDict_GET_SIZE(dispatch) + PyDict_GET_SIZE(rejects))) + 1024);
    out.put("# HELP varnel_lb_inflight Current in-flight requests per backend.\n"
            "# TYPE varnel_lb_inflight gauge\n");
    if (!plain_family(out, inflight, "varnel_lb_inflight{server_id=\"")) return {};
    out.put("# HELP varnel_lb_dispatch_total Cumulative dispatches per backend.\n"
            "# TYPE varnel_lb_dispatch_total counter\n");
    if (!plain_family(out, dispatch, "varnel_lb_dispatch_total{server_id=\"")) return {};
    out.put("# HELP varnel_lb_rejected_total Requests rejected by the load balancer.\n"
            "# TYPE varnel_lb_rejected_total counter\n");
    if (!plain_family(out, rejects, "varnel_lb_rejected_total{reason=\"")) return {};
    out.put("# HELP varnel_lb_queue_depth Number of waiters currently queued.\n"
            "# TYPE varnel_lb_queue_depth gauge\n"
            "varnel_lb_queue_depth ");
    out.put_int(PyList_GET_SIZE(all));
    out.put('\n');
    if (size_t n = waits.size()) {
        double p50, p95;
        waits.values_at(telemetry::p50_index(n), telemetry::p95_index(n), p50, p95);
        out.put("# HELP varnel_lb_queue_wait_seconds Observed waiter wait times.\n"
                "# TYPE varnel_lb_queue_wait_seconds summary\n"
                "varnel_lb_queue_wait_seconds{quantile=\"0.5\"} ");
        out.put_fixed4(p50);
        out.put("\nvarnel_lb_queue_wait_seconds{quantile=\"0.95\"} ");
        out.put_fixed4(p95);
        out.put("\nvarnel_lb_queue_wait_seconds_count ");
        out.put_int(static_cast<long long>(n));
        out.put('\n');
    }
    return out.text();
}

}  // namespace

Ref prometheus_text(const Call& c, Handle self) {
    if (Ref text = prometheus_natively(c, self)) return text;
    Text t(module_of(c).empty_str);

    t.raw("# HELP varnel_lb_inflight Current in-flight requests per backend.\n"
          "# TYPE varnel_lb_inflight gauge\n");
    labelled_family(t, attr(self, names::inflight), "varnel_lb_inflight", "server_id");

    t.raw("# HELP varnel_lb_dispatch_total Cumulative dispatches per backend.\n"
          "# TYPE varnel_lb_dispatch_total counter\n");
    labelled_family(t, attr(self, names::dispatch_counts), "varnel_lb_dispatch_total", "server_id");

    t.raw("# HELP varnel_lb_rejected_total Requests rejected by the load balancer.\n"
          "# TYPE varnel_lb_rejected_total counter\n");
    labelled_family(t, attr(self, names::reject_counts), "varnel_lb_rejected_total", "reason");

    t.raw("# HELP varnel_lb_queue_depth Number of waiters currently queued.\n"
          "# TYPE varnel_lb_queue_depth gauge\n");
    t.sample("varnel_lb_queue_depth", py::new_int(py::length(attr(self, names::_all_waiters))));

    Ref samples = attr(self, names::queue_wait_samples);
    if (py::truthy(samples)) {
        Ref sorted = py::to_list(samples);
        py::check_int(PyList_Sort(sorted));
        size_t n = size_t(PyList_GET_SIZE(sorted.get()));
        if (n == 0) py::raise(PyExc_IndexError, "list index out of range");
        // Hold both: formatting a sample may run arbitrary code.
        Ref p50 = Ref::borrow(PyList_GET_ITEM(sorted.get(), Py_ssize_t(telemetry::p50_index(n))));
        Ref p95 = Ref::borrow(PyList_GET_ITEM(sorted.get(), Py_ssize_t(telemetry::p95_index(n))));

        Ref q50 = py::new_str("0.5"), q95 = py::new_str("0.95");
        t.raw("# HELP varnel_lb_queue_wait_seconds Observed waiter wait times.\n"
              "# TYPE varnel_lb_queue_wait_seconds summary\n");
        t.sample("varnel_lb_queue_wait_seconds", "quantile", q50, p50, n_fixed4);
        t.sample("varnel_lb_queue_wait_seconds", "quantile", q95, p95, n_fixed4);
        t.sample("varnel_lb_queue_wait_seconds_count", py::new_int(py::length(samples)));
    }
    return t.finish();
}

}  // namespace lb::LoadBalancer
