// quillmoth.keystone (being written).
#include "common/native.h"

namespace {

PyModuleDef module_def = qm::make_module_def("quillmoth.keystone", nullptr);

}  // namespace

PyMODINIT_FUNC PyInit_keystone(void) { return PyModule_Create(&module_def); }
