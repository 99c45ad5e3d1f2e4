// The balancer's counters as Prometheus text exposition.
#include <string>
#include <string_view>

#include "module.h"

namespace lb {
namespace {

// Accumulates the exposition as UTF-8.  Strings holding lone surrogates
// (which strict UTF-8 cannot carry) go through "surrogatepass" both ways,
// so every str value comes out unchanged.
class Text {
public:
    void raw(std::string_view s) { buf_.append(s); }

    // The str `s`, as is.
    void str(PyObject* s) {
        Py_ssize_t n = 0;
        if (const char* p = PyUnicode_AsUTF8AndSize(s, &n)) {
            buf_.append(p, size_t(n));
            return;
        }
        py::Ref bytes = surrogate_bytes(s);
        buf_.append(PyBytes_AS_STRING(bytes.get()), size_t(PyBytes_GET_SIZE(bytes.get())));
    }

    // A label value: backslash, double quote and newline escaped.
    void label_value(PyObject* s) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(s, &n);
        py::Ref bytes;
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
    void formatted(PyObject* v, PyObject* fmt) {
        py::Ref s = py::Ref::steal(PyObject_Format(v, fmt));
        str(s.get());
    }

    // name{label="value"} sample
    void sample(std::string_view name, std::string_view label, PyObject* label_value_obj, PyObject* value,
                PyObject* fmt) {
        raw(name);
        raw("{");
        raw(label);
        raw("=\"");
        py::Ref lv = py::Ref::steal(PyObject_Format(label_value_obj, empty()));
        label_value(lv.get());
        raw("\"} ");
        formatted(value, fmt);
        raw("\n");
    }

    // name sample (no labels)
    void sample(std::string_view name, PyObject* value) {
        raw(name);
        raw(" ");
        formatted(value, empty());
        raw("\n");
    }

    py::Ref finish() const {
        return py::Ref::steal(PyUnicode_DecodeUTF8(buf_.data(), Py_ssize_t(buf_.size()), "surrogatepass"));
    }

    static PyObject* empty() {
        static PyObject* e = py::check(PyUnicode_InternFromString(""));
        return e;
    }

private:
    static py::Ref surrogate_bytes(PyObject* s) {
        PyErr_Clear();
        return py::Ref::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
    }

    std::string buf_;
};

// One sample per entry of `mapping`, labelled with its key.
void labelled_family(Text& t, PyObject* mapping, std::string_view name, std::string_view label) {
    for (auto& [key, value] : py::items(mapping)) t.sample(name, label, key.get(), value.get(), Text::empty());
}

}  // namespace

PY_FUNCTION(lb_prometheus_text, "LoadBalancer.prometheus_text", "self")(const py::Call&, const py::Args& a) {
    PyObject* self = a[0];
    Text t;

    t.raw("# HELP varnel_lb_inflight Current in-flight requests per backend.\n"
          "# TYPE varnel_lb_inflight gauge\n");
    labelled_family(t, attr(self, names::inflight).get(), "varnel_lb_inflight", "server_id");

    t.raw("# HELP varnel_lb_dispatch_total Cumulative dispatches per backend.\n"
          "# TYPE varnel_lb_dispatch_total counter\n");
    labelled_family(t, attr(self, names::dispatch_counts).get(), "varnel_lb_dispatch_total", "server_id");

    t.raw("# HELP varnel_lb_rejected_total Requests rejected by the load balancer.\n"
          "# TYPE varnel_lb_rejected_total counter\n");
    labelled_family(t, attr(self, names::reject_counts).get(), "varnel_lb_rejected_total", "reason");

    t.raw("# HELP varnel_lb_queue_depth Number of waiters currently queued.\n"
          "# TYPE varnel_lb_queue_depth gauge\n");
    t.sample("varnel_lb_queue_depth", py::new_int(py::length(attr(self, names::_all_waiters).get())).get());

    py::Ref samples = attr(self, names::queue_wait_samples);
    if (py::truthy(samples.get())) {
        py::Ref sorted = py::to_list(samples.get());
        py::check_int(PyList_Sort(sorted.get()));
        Py_ssize_t n = PyList_GET_SIZE(sorted.get());
        if (n == 0) py::raise(PyExc_IndexError, "list index out of range");
        // Hold both: formatting a sample may run arbitrary code.
        py::Ref p50 = py::Ref::borrow(PyList_GET_ITEM(sorted.get(), n / 2));
        py::Ref p95 = py::Ref::borrow(
            PyList_GET_ITEM(sorted.get(), n >= 20 ? Py_ssize_t(0.95 * double(n)) : n - 1));

        static PyObject* fixed4 = py::check(PyUnicode_InternFromString(".4f"));
        py::Ref q50 = py::new_str("0.5"), q95 = py::new_str("0.95");
        t.raw("# HELP varnel_lb_queue_wait_seconds Observed waiter wait times.\n"
              "# TYPE varnel_lb_queue_wait_seconds summary\n");
        t.sample("varnel_lb_queue_wait_seconds", "quantile", q50.get(), p50.get(), fixed4);
        t.sample("varnel_lb_queue_wait_seconds", "quantile", q95.get(), p95.get(), fixed4);
        t.sample("varnel_lb_queue_wait_seconds_count", py::new_int(py::length(samples.get())).get());
    }
    return t.finish();
}

}  // namespace lb
