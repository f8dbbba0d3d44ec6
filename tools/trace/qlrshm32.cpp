// qlrshm32.dll: takes each trace record of the control into the section that
// the trace viewer reads (tools/trace/trace_shm.h).
#include <windows.h>

#include "tools/trace/trace_shm.h"

namespace {

// Mapped at the first record, unmapped when the library is unloaded.
qlr::trace_shm::Mapping* SharedSection() {
    static qlr::trace_shm::Mapping mapping;
    return &mapping;
}

}  // namespace

// Copies one record (data, length, direction: 115 sent, 114 received).
// Returns nonzero when the record was published.
extern "C" int WINAPI SetSharedMem(const unsigned char* data, long length, long direction) {
    qlr::trace_shm::Mapping* mapping = SharedSection();
    if (!*mapping) return 0;
    qlr::trace_shm::Publish(*mapping->get(), data, static_cast<int32_t>(length),
                            static_cast<int32_t>(direction));
    return 1;
}
