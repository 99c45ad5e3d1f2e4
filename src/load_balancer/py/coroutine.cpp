#include "py/coroutine.h"

#include <cstddef>
#include <cstring>

namespace py {

namespace {

enum class State : unsigned char { Created, Suspended, Running, Done };

struct CoroObject {
    PyObject_HEAD
    Frame* frame;
    PyObject* inner;  // the iterator being awaited while suspended
    PyObject* module;  // the defining module, which the frame's context refers to
    const char* qualname;
    PyObject* weakrefs;
    State state;
};

constexpr size_t kFrameOffset =
    (sizeof(CoroObject) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) * alignof(std::max_align_t);

PyTypeObject CoroType;

CoroObject* as_coro(PyObject* o) { return reinterpret_cast<CoroObject*>(o); }

Name n_close{"close"}, n_throw{"throw"};

// The exception the frame is handling, made current while the body or the
// object it awaits runs.
Handle handled_by(CoroObject* c) { return c->frame ? Handle(c->frame->handling) : Handle(); }

// Value carried by a StopIteration that is set in the interpreter; clears it.
Ref take_stop_iteration_value() {
    Exc e = Exc::fetch();
    auto* si = reinterpret_cast<PyStopIterationObject*>(e.get());
    return Ref::borrow(si->value ? si->value : Py_None);
}

// Raise StopIteration(value) the way generators do: the value is the single
// argument even when it is a tuple or an exception.
void set_stop_iteration(PyObject* value) {
    PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (exc) PyErr_SetRaisedException(exc);
}

// Returning from a body must not look like StopIteration to the driver:
// raise RuntimeError(...) from the StopIteration instead.
void wrap_stop_iteration(const char* qualname) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration) && !PyErr_ExceptionMatches(PyExc_StopAsyncIteration))
        return;
    Exc cause = Exc::fetch();
    PyErr_Format(PyExc_RuntimeError, "coroutine %s raised %s", qualname,
                 cause.matches(PyExc_StopAsyncIteration) ? "StopAsyncIteration" : "StopIteration");
    Exc err = Exc::fetch();
    PyException_SetContext(err.get(), Py_NewRef(cause.get()));
    PyException_SetCause(err.get(), cause.take().release());
    PyErr_SetRaisedException(err.take().release());
}

// The body has ended: drop what the frame still holds.
void finish(CoroObject* c) {
    c->state = State::Done;
    if (c->frame) c->frame->drop_all();
}

// Run the frame from `sent` (NULL: an exception is set) until it awaits
// something that yields, or finishes.
PySendResult drive(CoroObject* c, Ref sent, PyObject** out) {
    bool error = !sent;
    for (;;) {
        Step step = Step::done(Ref());
        try {
            Handling h(handled_by(c));
            step = c->frame->resume(error ? nullptr : sent.get());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            finish(c);
            return PYGEN_ERROR;
        } catch (const Error&) {
            wrap_stop_iteration(c->qualname);
            finish(c);
            return PYGEN_ERROR;
        }
        if (!step.is_await()) {
            *out = step.value().release();
            finish(c);
            return PYGEN_RETURN;
        }
        Ref it;
        try {
            it = awaitable_iter(step.value().get());
        } catch (const Error&) {
            error = true;
            continue;
        }
        PyObject* res = nullptr;
        PySendResult r;
        {
            Handling h(handled_by(c));
            r = PyIter_Send(it.get(), Py_None, &res);
        }
        switch (r) {
            case PYGEN_NEXT:
                c->inner = it.release();
                c->state = State::Suspended;
                *out = res;
                return PYGEN_NEXT;
            case PYGEN_RETURN:
                sent = Ref::steal_or_null(res);
                error = false;
                break;
            case PYGEN_ERROR:
                error = true;
                break;
        }
    }
}

// Handle the outcome of the awaited iterator.
PySendResult after_inner(CoroObject* c, PySendResult r, PyObject* res, PyObject** out) {
    if (r == PYGEN_NEXT) {
        c->state = State::Suspended;
        *out = res;
        return PYGEN_NEXT;
    }
    Py_CLEAR(c->inner);
    return drive(c, r == PYGEN_RETURN ? Ref::steal_or_null(res) : Ref(), out);
}

PySendResult coro_send(PyObject* self, PyObject* arg, PyObject** out) {
    CoroObject* c = as_coro(self);
    *out = nullptr;
    switch (c->state) {
        case State::Running:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return PYGEN_ERROR;
        case State::Done:
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        case State::Created:
            if (arg != Py_None) {
                PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                return PYGEN_ERROR;
            }
            c->state = State::Running;
            return drive(c, Ref::borrow(Py_None), out);
        case State::Suspended: {
            c->state = State::Running;
            PyObject* res = nullptr;
            PySendResult r;
            {
                Handling h(handled_by(c));
                r = PyIter_Send(c->inner, arg, &res);
            }
            return after_inner(c, r, res, out);
        }
    }
    return PYGEN_ERROR;
}

// Throw `exc` into the awaited iterator `inner`: its next value, its return
// value, or an error set.
PySendResult throw_into(PyObject* inner, PyObject* exc, PyObject** res) {
    *res = nullptr;
    if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
        // As `yield from` does: close the awaited object, then raise here.
        PyObject* meth = nullptr;
        if (PyObject_GetOptionalAttr(inner, n_close, &meth) < 0) return PYGEN_ERROR;
        if (meth) {
            PyObject* r = PyObject_CallNoArgs(meth);
            Py_DECREF(meth);
            if (!r) return PYGEN_ERROR;
            Py_DECREF(r);
        }
        PyErr_SetRaisedException(Py_NewRef(exc));
        return PYGEN_ERROR;
    }
    PyObject* meth = nullptr;
    if (PyObject_GetOptionalAttr(inner, n_throw, &meth) < 0) return PYGEN_ERROR;
    if (!meth) {
        PyErr_SetRaisedException(Py_NewRef(exc));
        return PYGEN_ERROR;
    }
    *res = PyObject_CallOneArg(meth, exc);
    Py_DECREF(meth);
    if (*res) return PYGEN_NEXT;
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        *res = take_stop_iteration_value().release();
        return PYGEN_RETURN;
    }
    return PYGEN_ERROR;
}

// Throw `exc` (an exception instance) in at the point of suspension.
PySendResult coro_throw_exc(CoroObject* c, PyObject* exc, PyObject** out) {
    *out = nullptr;
    switch (c->state) {
        case State::Running:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return PYGEN_ERROR;
        case State::Created:
        case State::Done:
            finish(c);
            PyErr_SetRaisedException(Py_NewRef(exc));
            return PYGEN_ERROR;
        case State::Suspended:
            break;
    }
    c->state = State::Running;
    PyObject* res = nullptr;
    PySendResult r;
    {
        Handling h(handled_by(c));
        r = throw_into(c->inner, exc, &res);
    }
    return after_inner(c, r, res, out);
}

// Method-style result: the yielded value, or StopIteration(value) at return.
PyObject* as_method_result(PySendResult r, PyObject* res) {
    switch (r) {
        case PYGEN_NEXT:
            return res;
        case PYGEN_RETURN:
            set_stop_iteration(res);
            Py_DECREF(res);
            return nullptr;
        default:
            return nullptr;
    }
}

PyObject* coro_iternext(PyObject* self) {
    PyObject* res = nullptr;
    PySendResult r = coro_send(self, Py_None, &res);
    if (r == PYGEN_RETURN && res == Py_None) {
        Py_DECREF(res);
        return nullptr;  // StopIteration without a value
    }
    return as_method_result(r, res);
}

PyObject* coro_send_method(PyObject* self, PyObject* arg) {
    PyObject* res = nullptr;
    PySendResult r = coro_send(self, arg, &res);
    return as_method_result(r, res);
}

// Normalise throw(type[, value[, tb]]) to an exception instance.
PyObject* normalize_exception(PyObject* typ, PyObject* val, PyObject* tb) {
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject* exc = nullptr;
    if (PyExceptionClass_Check(typ)) {
        if (val && val != Py_None && PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ)))
            exc = Py_NewRef(val);
        else if (!val || val == Py_None)
            exc = PyObject_CallNoArgs(typ);
        else if (PyTuple_Check(val))
            exc = PyObject_Call(typ, val, nullptr);
        else
            exc = PyObject_CallOneArg(typ, val);
        if (exc && !PyExceptionInstance_Check(exc)) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s", typ,
                         Py_TYPE(exc)->tp_name);
            Py_CLEAR(exc);
        }
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(typ);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (exc && tb && PyException_SetTraceback(exc, tb) < 0) Py_CLEAR(exc);
    return exc;
}

PyObject* coro_throw_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    PyObject* exc = normalize_exception(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
    if (!exc) return nullptr;
    PyObject* res = nullptr;
    PySendResult r = coro_throw_exc(as_coro(self), exc, &res);
    Py_DECREF(exc);
    return as_method_result(r, res);
}

PyObject* coro_close_method(PyObject* self, PyObject*) {
    CoroObject* c = as_coro(self);
    if (c->state == State::Running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (c->state != State::Suspended) {
        finish(c);
        Py_RETURN_NONE;
    }
    PyObject* exc = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exc) return nullptr;
    PyObject* res = nullptr;
    PySendResult r = coro_throw_exc(c, exc, &res);
    Py_DECREF(exc);
    switch (r) {
        case PYGEN_NEXT:
            Py_DECREF(res);
            PyErr_Format(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
            return nullptr;
        case PYGEN_RETURN:
            return res;
        default:
            if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
                PyErr_Clear();
                Py_RETURN_NONE;
            }
            return nullptr;
    }
}

PyObject* coro_await(PyObject* self) { return Py_NewRef(self); }

void coro_finalize(PyObject* self) {
    CoroObject* c = as_coro(self);
    PyObject* saved = PyErr_GetRaisedException();
    if (c->state == State::Suspended) {
        PyObject* r = coro_close_method(self, nullptr);
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(self);
    } else if (c->state == State::Created && c->frame) {
        finish(c);
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%s' was never awaited", c->qualname) < 0)
            PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(saved);
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroObject* c = as_coro(self);
    Py_VISIT(c->inner);
    Py_VISIT(c->module);
    return c->frame ? c->frame->traverse_all(visit, arg) : 0;
}

int coro_clear(PyObject* self) {
    CoroObject* c = as_coro(self);
    // Cleared by the collector: there is nothing left to resume.
    if (c->state == State::Suspended || c->state == State::Created) c->state = State::Done;
    Py_CLEAR(c->inner);
    if (c->frame) c->frame->drop_all();
    return 0;
}

void coro_dealloc(PyObject* self) {
    CoroObject* c = as_coro(self);
    // The finalizer runs Python code: the object stays tracked while it
    // does, so that a resurrected coroutine is still seen by the collector.
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    if (c->weakrefs) PyObject_ClearWeakRefs(self);
    Py_CLEAR(c->inner);
    if (c->frame) {
        c->frame->~Frame();
        c->frame = nullptr;
    }
    Py_CLEAR(c->module);
    PyObject_GC_Del(self);
}

PyObject* coro_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %s at %p>", as_coro(self)->qualname, self);
}

PyObject* get_qualname(PyObject* self, void*) { return PyUnicode_FromString(as_coro(self)->qualname); }
PyObject* get_name(PyObject* self, void*) {
    const char* q = as_coro(self)->qualname;
    const char* dot = strrchr(q, '.');
    return PyUnicode_FromString(dot ? dot + 1 : q);
}
PyObject* get_cr_await(PyObject* self, void*) {
    CoroObject* c = as_coro(self);
    return Py_NewRef(c->inner && c->state == State::Suspended ? c->inner : Py_None);
}
PyObject* get_cr_running(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == State::Running); }
PyObject* get_cr_suspended(PyObject* self, void*) {
    return PyBool_FromLong(as_coro(self)->state == State::Suspended);
}

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_await", get_cr_await, nullptr, nullptr, nullptr},
    {"cr_running", get_cr_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_cr_suspended, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coro_methods[] = {
    {"send", coro_send_method, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw_method)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine."},
    {"close", coro_close_method, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods coro_as_async = {coro_await, nullptr, nullptr, coro_send};

}  // namespace

namespace detail {

PyObject* alloc_coroutine(const char* qualname, PyObject* module, size_t size, void** storage) {
    // The frame lives right after the object (at its aligned end).
    auto* c = reinterpret_cast<CoroObject*>(
        PyUnstable_Object_GC_NewWithExtraData(&CoroType, kFrameOffset - sizeof(CoroObject) + size));
    if (!c) return nullptr;
    c->frame = nullptr;
    c->inner = nullptr;
    c->module = Py_XNewRef(module);
    c->qualname = qualname;
    c->weakrefs = nullptr;
    c->state = State::Created;
    *storage = reinterpret_cast<char*>(c) + kFrameOffset;
    return reinterpret_cast<PyObject*>(c);
}

void attach_frame(PyObject* coro, Frame* frame) {
    as_coro(coro)->frame = frame;
    PyObject_GC_Track(coro);
}

}  // namespace detail

namespace {

// A coroutine, or a generator marked as an iterable coroutine: awaited as is.
bool native_coroutine(Handle o) {
    if (PyCoro_CheckExact(o.get())) return true;
    if (!PyGen_CheckExact(o.get())) return false;
    PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(o.get()));
    bool iterable = code->co_flags & CO_ITERABLE_COROUTINE;
    Py_DECREF(code);
    return iterable;
}

}  // namespace

bool awaitable(Handle o) {
    if (native_coroutine(o)) return true;
    PyTypeObject* t = o.type();
    return t->tp_as_async && t->tp_as_async->am_await;
}

Ref awaitable_iter(Handle o) {
    if (native_coroutine(o)) return Ref::borrow(o);
    PyTypeObject* t = o.type();
    if (!t->tp_as_async || !t->tp_as_async->am_await)
        raisef(PyExc_TypeError, "object %.100s can't be used in 'await' expression", t->tp_name);
    Ref it = Ref::steal(t->tp_as_async->am_await(o.get()));
    if (PyCoro_CheckExact(it.get())) raise(PyExc_TypeError, "__await__() returned a coroutine");
    if (!PyIter_Check(it.get()))
        raisef(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it.get())->tp_name);
    return it;
}

void init_coroutine_type() {
    if (CoroType.tp_flags & Py_TPFLAGS_READY) return;
    PyTypeObject& t = CoroType;
    t.tp_name = "load_balancer.coroutine";
    t.tp_basicsize = sizeof(CoroObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE;
    t.tp_as_async = &coro_as_async;
    t.tp_iternext = coro_iternext;
    t.tp_methods = coro_methods;
    t.tp_getset = coro_getset;
    t.tp_traverse = coro_traverse;
    t.tp_clear = coro_clear;
    t.tp_dealloc = coro_dealloc;
    t.tp_finalize = coro_finalize;
    t.tp_repr = coro_repr;
    t.tp_weaklistoffset = offsetof(CoroObject, weakrefs);
    t.tp_doc = "A coroutine of the load_balancer module.";
    check_int(PyType_Ready(&t));
}

}  // namespace py
