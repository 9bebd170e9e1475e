// quillmoth.messages, unit body reading: read, read_raw, read_detached, detach_raw, body_buffer,
// stream, text and json of Message; the module coroutines _read_stream and _call_soon.
#include "messages_module.h"

namespace qm::messages {

bool init_body_unit(PyObject*) noexcept { return true; }

void release_body_unit() noexcept {}

}  // namespace qm::messages
