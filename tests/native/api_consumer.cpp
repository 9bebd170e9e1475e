// A stand-in sibling module: binds the native exports of cookies, url and messages when it is
// imported, exactly as the framework's own modules do, and exposes thin wrappers so the tests can
// call through the bound pointers.
#include "common/native.h"
#include "cookies.h"
#include "messages.h"
#include "url.h"

namespace {

qm::cookies::CookiesApi g_cookies;
qm::url::UrlApi g_url;
qm::messages::MethodWithoutBodyFn* g_method_without_body = nullptr;

PyObject* method_without_body(PyObject*, PyObject* method) {
    int result = g_method_without_body(method, 0);
    if (result < 0) return nullptr;
    return PyBool_FromLong(result);
}

PyObject* join_prefix(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) return qm::raise_arg_count("join_prefix", 2, 2, nargs);
    return g_url.join_prefix(args[0], args[1], 0);
}

PyObject* write_cookie(PyObject*, PyObject* cookie) {
    qm::Ref cookie_type(reinterpret_cast<PyObject*>(qm::import_native_type("quillmoth.cookies", "Cookie")));
    if (!cookie_type) return nullptr;
    if (!PyObject_TypeCheck(cookie, reinterpret_cast<PyTypeObject*>(cookie_type.get()))) {
        return qm::raise_cannot_convert(cookie, reinterpret_cast<PyTypeObject*>(cookie_type.get()));
    }
    return g_cookies.write_cookie_for_response(reinterpret_cast<qm::cookies::CookieObject*>(cookie));
}

PyMethodDef methods[] = {
    {"method_without_body", method_without_body, METH_O, nullptr},
    {"join_prefix", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(join_prefix)), METH_FASTCALL, nullptr},
    {"write_cookie", write_cookie, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "api_consumer", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_api_consumer() {
    if (!qm::cookies::import_cookies_api(&g_cookies)) return nullptr;
    if (!qm::url::import_url_api(&g_url)) return nullptr;
    if (!qm::messages::import_method_without_body(&g_method_without_body)) return nullptr;
    return PyModule_Create(&module_def);
}
