// The balancer's counters as Prometheus text exposition.
#include <string>
#include <string_view>

#include "balancer/methods.h"

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

}  // namespace

Ref prometheus_text(const Call& c, Handle self) {
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
        Py_ssize_t n = PyList_GET_SIZE(sorted.get());
        if (n == 0) py::raise(PyExc_IndexError, "list index out of range");
        // Hold both: formatting a sample may run arbitrary code.
        Ref p50 = Ref::borrow(PyList_GET_ITEM(sorted.get(), n / 2));
        Ref p95 = Ref::borrow(PyList_GET_ITEM(sorted.get(), n >= 20 ? Py_ssize_t(0.95 * double(n)) : n - 1));

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
