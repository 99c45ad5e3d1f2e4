// Input-token estimate of a request body: a quarter of its characters, one
// token per pre-tokenized id and a flat cost per image or video part.
#include <climits>
#include <string_view>

#include "lifecycle/lifecycle.h"

namespace lb::functions {
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
    void add_chars(Handle s) {
        chars += PyUnicode_CheckExact(s.get()) ? PyUnicode_GET_LENGTH(s.get()) : py::length(s);
    }
};

// The fields of a body the estimate reads, in the order it reads them.
enum Field { kMessages, kPrompt, kSystem, kInput, kQuery, kItems, kDocuments, kInstruct, kFields };
const py::Name* const kFieldNames[kFields] = {&k_messages, &k_prompt, &k_system, &k_input,
                                              &k_query,    &k_items,  &k_documents, &k_instruct};
constexpr std::string_view kFieldTexts[kFields] = {"messages", "prompt", "system", "input",
                                                   "query",    "items",  "documents", "instruct"};

// The fields of an exact dict whose keys are all exact strs, read in one
// pass over it (held; NULL when absent): cheaper than looking up each of
// them when, as usual, most are absent.  False when some key is not an
// exact str, which only a lookup would compare correctly.  (fast::Fields
// does the same walk, but compares other keys' text through
// PyUnicode_Compare, which costs more on this per-request path.)
bool read_fields(Handle body, Ref (&out)[kFields]) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(body, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
        int found = -1;
        for (int f = 0; f < kFields && found < 0; ++f)
            if (key == kFieldNames[f]->get()) found = f;
        if (found < 0 && PyUnicode_IS_ASCII(key)) {
            // Not the interned name: compare the text (all the names are ASCII).
            std::string_view k(static_cast<const char*>(PyUnicode_DATA(key)), size_t(PyUnicode_GET_LENGTH(key)));
            for (int f = 0; f < kFields && found < 0; ++f)
                if (k == kFieldTexts[f]) found = f;
        }
        if (found >= 0) out[found] = Ref::borrow(value);
    }
    return true;
}

// What a content part's "type" value names.
Kind part_kind(Handle t) {
    if (PyUnicode_CheckExact(t.get())) {
        if (!PyUnicode_IS_ASCII(t.get())) return Kind::Other;
        std::string_view v(static_cast<const char*>(PyUnicode_DATA(t.get())), size_t(PyUnicode_GET_LENGTH(t.get())));
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
void scan_part(Totals& t, Handle part) {
    switch (part_kind(py::get(part, k_type))) {
        case Kind::Text: {
            // (part.get("text") or ""), counted when it is a str
            Ref text = py::get(part, k_text);
            if (PyUnicode_CheckExact(text.get())) {
                t.chars += PyUnicode_GET_LENGTH(text.get());
            } else if (py::truthy(text) && PyUnicode_Check(text.get())) {
                t.add_chars(text);
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
void scan_content(Totals& t, Handle content) {
    if (PyUnicode_Check(content.get())) {
        t.add_chars(content);
        return;
    }
    if (!PyList_Check(content.get())) return;
    py::for_each(content, [&](Handle part) {
        if (PyUnicode_Check(part.get()))
            t.add_chars(part);
        else if (PyDict_Check(part.get()))
            scan_part(t, part);
    });
}

// An inner list of an input-style value: token ids, or content.
void scan_inner(Totals& t, Handle sub) {
    if (PyLong_Check(sub.get()))
        ++t.token_ids;
    else if (PyDict_Check(sub.get()))
        scan_part(t, sub);
    else
        scan_content(t, sub);
}

// An input-style value: a string, or a list of strings, token ids, lists of
// token ids or content parts.
void scan_tokenizable(Totals& t, Handle value) {
    if (PyUnicode_Check(value.get())) {
        t.add_chars(value);
        return;
    }
    if (!PyList_Check(value.get())) return;
    py::for_each(value, [&](Handle item) {
        if (PyUnicode_Check(item.get())) {
            t.add_chars(item);
        } else if (PyLong_Check(item.get())) {
            ++t.token_ids;
        } else if (PyList_CheckExact(item.get())) {
            // Read directly (py::for_each would hold each id): token ids are
            // counted without holding them, as nothing runs while they are;
            // anything else is held while it is scanned.  The list is read
            // again after that: scanning may change it.
            auto* list = reinterpret_cast<PyListObject*>(item.get());
            long long ids = 0;
            for (Py_ssize_t j = 0; j < Py_SIZE(list); ++j) {
                PyObject* sub = list->ob_item[j];
                if (PyLong_Check(sub))
                    ++ids;
                else
                    scan_inner(t, Ref::borrow(sub));
            }
            t.token_ids += ids;
        } else if (PyList_Check(item.get())) {
            py::for_each(item, [&](Handle sub) { scan_inner(t, sub); });
        } else if (PyDict_Check(item.get())) {
            scan_part(t, item);
        }
    });
}

Ref wide_to_int(wide v) {
    if (v >= LLONG_MIN && v <= LLONG_MAX) return py::new_int(static_cast<long long>(v));
    return Ref::steal(PyLong_FromNativeBytes(&v, sizeof v, -1));
}

}  // namespace

Ref estimate_request_tokens(const Call& c, Handle body) {
    if (!PyDict_Check(body.get())) return py::new_int(0);
    Totals t;

    Ref fields[kFields];
    bool read = PyDict_CheckExact(body.get()) && read_fields(body, fields);
    // body.get(name), or whether the key is present at all
    auto field = [&](Field f) { return read ? (fields[f] ? fields[f] : py::none()) : py::get(body, *kFieldNames[f]); };

    Ref messages = field(kMessages);
    if (PyList_CheckExact(messages.get())) {
        // The usual shape, read directly (py::for_each costs more per
        // message): each message held while it is looked into, and the list
        // read again after anything that may run Python code.
        auto* list = reinterpret_cast<PyListObject*>(messages.get());
        for (Py_ssize_t i = 0; i < Py_SIZE(list); ++i) {
            Ref message = Ref::borrow(list->ob_item[i]);
            if (!PyDict_CheckExact(message.get())) {
                if (PyDict_Check(message.get())) scan_content(t, py::get(message, k_content));
                continue;
            }
            PyObject* content = nullptr;
            if (py::check_int(PyDict_GetItemRef(message, k_content, &content)) == 0) continue;
            if (PyUnicode_CheckExact(content)) {
                t.chars += PyUnicode_GET_LENGTH(content);
                Py_DECREF(content);
            } else {
                scan_content(t, Ref::steal(content));
            }
        }
    } else if (PyList_Check(messages.get())) {
        py::for_each(messages, [&](Handle message) {
            if (PyDict_Check(message.get())) scan_content(t, py::get(message, k_content));
        });
    } else {
        Ref prompt = field(kPrompt);
        if (PyUnicode_Check(prompt.get())) {
            t.add_chars(prompt);
        } else if (PyList_Check(prompt.get())) {
            py::for_each(prompt, [&](Handle p) {
                if (PyUnicode_Check(p.get())) t.add_chars(p);
            });
        }
    }

    scan_content(t, field(kSystem));

    for (Field f : {kInput, kQuery, kItems, kDocuments}) {
        if (read) {
            if (fields[f]) scan_tokenizable(t, fields[f]);
        } else if (PyDict_CheckExact(body.get())) {
            PyObject* v = nullptr;
            if (py::check_int(PyDict_GetItemRef(body, *kFieldNames[f], &v))) scan_tokenizable(t, Ref::steal(v));
        } else if (py::contains(body, *kFieldNames[f])) {
            scan_tokenizable(t, py::getitem(body, *kFieldNames[f]));
        }
    }

    Ref instruct = field(kInstruct);
    if (PyUnicode_Check(instruct.get())) t.add_chars(instruct);

    wide base = t.chars / 4 + t.token_ids;
    Ref cost = c.g.get(names::IMAGE_TOKEN_COST);
    long long per_image;
    if (py::small_int(cost, per_image)) return wide_to_int(base + wide(t.images) * per_image);
    // A cost that is not a plain machine-size int: Python arithmetic.
    Ref image_tokens = Ref::steal(PyNumber_Multiply(py::new_int(t.images), cost));
    return Ref::steal(PyNumber_Add(wide_to_int(base), image_tokens));
}

}  // namespace lb::functions
