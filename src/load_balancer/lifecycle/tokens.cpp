// Input-token estimate of a request body: a quarter of its characters, one
// token per pre-tokenized id and a flat cost per image or video part.
#include <climits>
#include <string_view>

#include "module.h"

namespace lb {
namespace {

// Character totals are kept wide: a str subclass may report any length.
__extension__ typedef __int128 wide;

py::Name k_messages{"messages"}, k_content{"content"}, k_prompt{"prompt"}, k_system{"system"},
    k_instruct{"instruct"}, k_type{"type"}, k_text{"text"};
py::Name k_input{"input"}, k_query{"query"}, k_items{"items"}, k_documents{"documents"};

// Part types, in the order they are matched.
py::Name t_text{"text"}, t_input_text{"input_text"}, t_output_text{"output_text"};
py::Name t_image_url{"image_url"}, t_image{"image"}, t_input_image{"input_image"}, t_video_url{"video_url"};

enum class Kind { Other, Text, Image };

struct Totals {
    wide chars = 0;
    long long token_ids = 0;
    long long images = 0;

    // len(s) of a str (or str subclass)
    void add_chars(PyObject* s) {
        chars += PyUnicode_CheckExact(s) ? PyUnicode_GET_LENGTH(s) : py::length(s);
    }
};

// What a content part's "type" value names.
Kind part_kind(PyObject* t) {
    if (PyUnicode_CheckExact(t)) {
        if (!PyUnicode_IS_ASCII(t)) return Kind::Other;
        std::string_view v(static_cast<const char*>(PyUnicode_DATA(t)), size_t(PyUnicode_GET_LENGTH(t)));
        if (v == "text" || v == "input_text" || v == "output_text") return Kind::Text;
        if (v == "image_url" || v == "image" || v == "input_image" || v == "video_url") return Kind::Image;
        return Kind::Other;
    }
    // Anything else is matched by equality, as membership in a tuple would.
    for (py::Name* n : {&t_text, &t_input_text, &t_output_text})
        if (py::compare(*n, t, Py_EQ)) return Kind::Text;
    for (py::Name* n : {&t_image_url, &t_image, &t_input_image, &t_video_url})
        if (py::compare(*n, t, Py_EQ)) return Kind::Image;
    return Kind::Other;
}

// One typed part (a dict): its text, or one image.
void scan_part(Totals& t, PyObject* part) {
    py::Ref type = py::get(part, k_type);
    switch (part_kind(type.get())) {
        case Kind::Text: {
            // (part.get("text") or ""), counted when it is a str
            py::Ref text = py::get(part, k_text);
            if (PyUnicode_CheckExact(text.get())) {
                t.chars += PyUnicode_GET_LENGTH(text.get());
            } else if (py::truthy(text.get()) && PyUnicode_Check(text.get())) {
                t.add_chars(text.get());
            }
            break;
        }
        case Kind::Image:
            ++t.images;
            break;
        case Kind::Other:
            break;
    }
}

// A chat-style content value: a bare string or a list of parts.
void scan_content(Totals& t, PyObject* content) {
    if (PyUnicode_Check(content)) {
        t.add_chars(content);
        return;
    }
    if (!PyList_Check(content)) return;
    py::for_each(content, [&](PyObject* part) {
        if (PyUnicode_Check(part))
            t.add_chars(part);
        else if (PyDict_Check(part))
            scan_part(t, part);
    });
}

// An input-style value: a string, or a list of strings, token ids, lists of
// token ids or content parts.
void scan_tokenizable(Totals& t, PyObject* value) {
    if (PyUnicode_Check(value)) {
        t.add_chars(value);
        return;
    }
    if (!PyList_Check(value)) return;
    py::for_each(value, [&](PyObject* item) {
        if (PyUnicode_Check(item)) {
            t.add_chars(item);
        } else if (PyLong_Check(item)) {
            ++t.token_ids;
        } else if (PyList_Check(item)) {
            py::for_each(item, [&](PyObject* sub) {
                if (PyLong_Check(sub))
                    ++t.token_ids;
                else if (PyDict_Check(sub))
                    scan_part(t, sub);
                else
                    scan_content(t, sub);
            });
        } else if (PyDict_Check(item)) {
            scan_part(t, item);
        }
    });
}

py::Ref wide_to_int(wide v) {
    if (v >= LLONG_MIN && v <= LLONG_MAX) return py::new_int(static_cast<long long>(v));
    return py::Ref::steal(PyLong_FromNativeBytes(&v, sizeof v, -1));
}

}  // namespace

PY_FUNCTION(estimate_request_tokens, "estimate_request_tokens", "body")(const py::Call& c, const py::Args& a) {
    PyObject* body = a[0];
    if (!PyDict_Check(body)) return py::new_int(0);
    Totals t;

    py::Ref messages = py::get(body, k_messages);
    if (PyList_Check(messages.get())) {
        py::for_each(messages.get(), [&](PyObject* message) {
            if (!PyDict_Check(message)) return;
            py::Ref content = py::get(message, k_content);
            scan_content(t, content.get());
        });
    } else {
        py::Ref prompt = py::get(body, k_prompt);
        if (PyUnicode_Check(prompt.get())) {
            t.add_chars(prompt.get());
        } else if (PyList_Check(prompt.get())) {
            py::for_each(prompt.get(), [&](PyObject* p) {
                if (PyUnicode_Check(p)) t.add_chars(p);
            });
        }
    }

    py::Ref system = py::get(body, k_system);
    scan_content(t, system.get());

    for (py::Name* key : {&k_input, &k_query, &k_items, &k_documents}) {
        if (PyDict_CheckExact(body)) {
            PyObject* v = nullptr;
            if (py::check_int(PyDict_GetItemRef(body, *key, &v)) == 0) continue;
            py::Ref value = py::Ref::steal(v);
            scan_tokenizable(t, value.get());
        } else if (py::contains(body, *key)) {
            py::Ref value = py::getitem(body, *key);
            scan_tokenizable(t, value.get());
        }
    }

    py::Ref instruct = py::get(body, k_instruct);
    if (PyUnicode_Check(instruct.get())) t.add_chars(instruct.get());

    wide base = t.chars / 4 + t.token_ids;
    py::Ref cost = c.g.get(names::IMAGE_TOKEN_COST);
    if (PyLong_CheckExact(cost.get())) {
        int overflow = 0;
        long long per_image = PyLong_AsLongLongAndOverflow(cost.get(), &overflow);
        if (!overflow) return wide_to_int(base + wide(t.images) * per_image);
    }
    // A cost that is not a plain machine-size int: Python arithmetic.
    py::Ref images = py::new_int(t.images);
    py::Ref image_tokens = py::Ref::steal(PyNumber_Multiply(images.get(), cost.get()));
    py::Ref text_tokens = wide_to_int(base);
    return py::Ref::steal(PyNumber_Add(text_tokens.get(), image_tokens.get()));
}

}  // namespace lb
