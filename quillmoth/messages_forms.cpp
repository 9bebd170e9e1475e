// quillmoth.messages, unit forms (being written).
#include "messages_module.h"

namespace qm::messages {

bool init_forms_unit(PyObject*) noexcept { return true; }

void release_forms_unit() noexcept {}

}  // namespace qm::messages
