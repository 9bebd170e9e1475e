// quillmoth.multipart (being written).
#include "common/native.h"

namespace {

PyModuleDef module_def = qm::make_module_def("quillmoth.multipart", nullptr);

}  // namespace

PyMODINIT_FUNC PyInit_multipart(void) { return PyModule_Create(&module_def); }
