// quillmoth.scribe (being written).
#include "common/native.h"

namespace {

PyModuleDef module_def = qm::make_module_def("quillmoth.scribe", nullptr);

}  // namespace

PyMODINIT_FUNC PyInit_scribe(void) { return PyModule_Create(&module_def); }
