"""Building the function tables: a bad table fails the import, naming the culprit.

A small probe extension is compiled from the module's own interop layer. It
defines a class `Probe` with two methods and one function whose class name is
misspelt, and a class `Many` with one method more than a table may hold; each
of its module variants builds a class from a different table.
"""
import importlib.machinery
import importlib.util
import pathlib
import shutil
import subprocess
import sysconfig

import pytest

SRC = pathlib.Path(__file__).resolve().parents[1] / "src" / "load_balancer"

MANY = 65  # a method's slot is its bit in a 64-bit mask

PROBE = r"""
#include "py/function.h"

namespace {

py::Ref one(const py::Call&, py::Handle) { return py::new_int(1); }
py::Ref two(const py::Call&, py::Handle, py::Handle x) { return py::Ref::borrow(x); }
py::Ref three(const py::Call&, py::Handle) { return py::none(); }

@MANY_METHODS@
py::Method m_one{py::fn<one>, "Probe.one", "self"};
py::Method m_two{py::fn<two>, "Probe.two", "self, x"};
py::Method m_long{py::fn<two>, "Long.two", "self, x, y"};
py::Method m_misspelt{py::fn<three>, "Prbe.three", "self"};

template <class... T>
int build(PyObject* module, bool check_all, T*... table) {
    return py::guard(-1, [&] {
        py::Name::intern_all();
        py::init_function_type();
        PyObject* g = PyModule_GetDict(module);
        py::Ref ns = py::new_dict();
        std::initializer_list<py::Method*> t{table...};
        py::build_namespace(ns, (*t.begin())->owner().c_str(), t, module, g, nullptr);
        if (check_all) py::check_all_built();
        py::Ref cls = py::Ref::steal(PyObject_CallFunction((PyObject*)&PyType_Type, "s(O)O", "Probe",
                                                           (PyObject*)&PyBaseObject_Type, ns.get()));
        py::check_int(PyDict_SetItemString(g, "Probe", cls));
        return 0;
    });
}

int ok(PyObject* m) { return build(m, false, &m_one, &m_two); }
int missing(PyObject* m) { return build(m, false, &m_one); }
int twice(PyObject* m) { return build(m, false, &m_one, &m_two, &m_two); }
int too_long(PyObject* m) { return build(m, false, &m_long); }
int misspelt(PyObject* m) { return build(m, true, &m_one, &m_two); }
int too_many(PyObject* m) { return build(m, false, @MANY_TABLE@); }

template <int (*Exec)(PyObject*)>
PyObject* init(PyModuleDef* def) {
    static PyModuleDef_Slot slots[] = {{Py_mod_exec, (void*)Exec}, {0, nullptr}};
    *def = {PyModuleDef_HEAD_INIT, "probe", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};
    return PyModuleDef_Init(def);
}

PyModuleDef defs[6];

}  // namespace

#define CASE(name, i) PyMODINIT_FUNC PyInit_##name(void) { return init<name>(&defs[i]); }
CASE(ok, 0)
CASE(missing, 1)
CASE(twice, 2)
CASE(too_long, 3)
CASE(misspelt, 4)
CASE(too_many, 5)
""".replace("@MANY_METHODS@", "".join(f'py::Method m_many{i}{{py::fn<one>, "Many.m{i}", "self"}};\n'
                                      for i in range(MANY))
            ).replace("@MANY_TABLE@", ", ".join(f"&m_many{i}" for i in range(MANY)))


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    compiler = shutil.which("g++") or shutil.which("c++")
    if not compiler:
        pytest.skip("no C++ compiler")
    out = tmp_path_factory.mktemp("probe")
    (out / "probe.cpp").write_text(PROBE)
    lib = out / "probe.so"
    subprocess.run([compiler, "-std=c++20", "-O0", "-shared", "-fPIC", "-I", str(SRC),
                    "-I", sysconfig.get_paths()["include"], str(out / "probe.cpp"),
                    str(SRC / "py" / "function.cpp"), "-o", str(lib)], check=True)

    def load(name):
        loader = importlib.machinery.ExtensionFileLoader(name, str(lib))
        spec = importlib.util.spec_from_file_location(name, str(lib), loader=loader)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        return module
    return load


def test_a_complete_table_builds(probe):
    obj = probe("ok").Probe()
    assert (obj.one(), obj.two(x=5)) == (1, 5)


@pytest.mark.parametrize("case, message", [
    ("missing", "Probe.two is defined but missing from its table"),
    ("twice", "Probe.two is listed twice in its table"),
    ("too_long", 'Long.two: the signature "(self, x, y)" names 3 parameters, its implementation takes 2'),
    ("misspelt", "Prbe.three is defined but no table holds it"),
    ("too_many", "the table of Many holds 65 methods; at most 64 fit a method mask"),
])
def test_a_bad_table_fails_the_import(probe, case, message):
    with pytest.raises(ImportError, match=message.replace("(", r"\(").replace(")", r"\)")):
        probe(case)
